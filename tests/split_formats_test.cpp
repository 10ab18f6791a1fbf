// The files of a split generation as untrusted input: the plan, task and
// result documents round-trip and their readers refuse every malformed form
// with its own message; the interval spacing; and the progress file's rules
// (torn lines passed over, foreign or out-of-order lines refused), with the
// streaming loader agreeing with the whole-text reader.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/generation_plan.h"
#include "timelock/base/file_io.h"
#include "timelock/formats/segment_progress.h"
#include "timelock/formats/segment_result.h"
#include "timelock/formats/segment_task.h"

namespace zt {
namespace {

const GenerationPlan& sample_plan() {
    static const GenerationPlan plan = draw_plan(77, 2500).value();
    return plan;
}

std::string text_of(const SecureBytes& bytes) { return std::string(as_text(bytes)); }

// Replaces the first occurrence of `from` in `text`.
std::string edited(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

struct BadDocument {
    const char* what;
    std::function<std::string(const std::string&)> spoil;
    std::string message;  // a prefix of the error's message
};

template <typename Read>
void expect_refused(const std::string& good, const std::vector<BadDocument>& cases, Read read) {
    for (const BadDocument& c : cases) {
        const auto got = read(c.spoil(good));
        ASSERT_FALSE(got.ok()) << c.what;
        EXPECT_EQ(got.error().message().substr(0, c.message.size()), c.message) << c.what;
    }
}

TEST(PlanDocument, RoundTripsAndRefusesEveryMalformedForm) {
    const GenerationPlan& plan = sample_plan();
    const std::string text = text_of(write_plan_document(plan));
    const GenerationPlan back = read_plan_document(text).value();
    EXPECT_EQ(text_of(write_plan_document(back)), text);
    EXPECT_EQ(plan_id(back), plan_id(plan));

    const std::string seed0 = encode_hex(plan.seeds[0].span());
    const std::string key = encode_hex(plan.epoch_key.span());
    expect_refused(text,
                   {
                       {"version 2", [](const std::string& t) { return edited(t, "\"version\": 1", "\"version\": 2"); },
                        "unsupported plan version"},
                       {"epoch changed", [](const std::string& t) { return edited(t, "\"epoch\": 77", "\"epoch\": 78"); },
                        "plan corrupted"},
                       {"epoch key changed",
                        [&](const std::string& t) { return edited(t, key, std::string(64, '0')); }, "plan corrupted"},
                       {"seed 0 changed",
                        [&](const std::string& t) { return edited(t, seed0, std::string(64, 'f')); }, "plan corrupted"},
                       {"a seed missing", [&](const std::string& t) { return edited(t, "\"" + seed0 + "\",", ""); },
                        "invalid plan"},
                       {"iterations 0",
                        [](const std::string& t) { return edited(t, "\"iterations\": 2500", "\"iterations\": 0"); },
                        "invalid plan"},
                       {"uppercase seed",
                        [&](const std::string& t) {
                            std::string upper = seed0;
                            for (char& ch : upper) ch = static_cast<char>(std::toupper(ch));
                            return edited(t, seed0, upper);
                        },
                        "noncanonical hex or wrong length"},
                       {"unknown member", [](const std::string& t) { return edited(t, "{\n", "{\"x\": 1,\n"); },
                        "unknown field `x`"},
                       {"oversized", [](const std::string& t) { return t + std::string(kPlanDocumentLimit, ' '); },
                        "plan exceeds size limit"},
                   },
                   [](const std::string& t) { return read_plan_document(t); });
}

TEST(TaskDocument, HoldsOnlyItsSegmentsSeedAndRefusesMalformedForms) {
    const GenerationPlan& plan = sample_plan();
    const SegmentTask task = task_of(plan, 41);
    const std::string text = text_of(write_task_document(task));
    EXPECT_NE(text.find(encode_hex(plan.seeds[41].span())), std::string::npos);
    EXPECT_EQ(text.find(encode_hex(plan.epoch_key.span())), std::string::npos);
    for (std::size_t i = 0; i < plan.seeds.size(); ++i) {
        if (i != 41) EXPECT_EQ(text.find(encode_hex(plan.seeds[i].span())), std::string::npos) << i;
    }
    const SegmentTask back = read_task_document(text).value();
    EXPECT_EQ(text_of(write_task_document(back)), text);
    EXPECT_EQ(work_key(back), work_key(task));
    EXPECT_NE(work_key(task_of(plan, 42)), work_key(task));

    expect_refused(text,
                   {
                       {"segment 96", [](const std::string& t) { return edited(t, "\"segment\":41", "\"segment\":96"); },
                        "invalid task"},
                       {"version 0", [](const std::string& t) { return edited(t, "\"version\":1", "\"version\":0"); },
                        "unsupported task version"},
                       {"short plan id", [](const std::string& t) { return edited(t, "\",\"epoch\"", "0\",\"epoch\""); },
                        "noncanonical hex or wrong length"},
                       {"seed missing",
                        [](const std::string& t) { return edited(t, t.substr(t.find(",\"seed\"")), "}"); },
                        "missing field `seed`"},
                       {"oversized", [](const std::string& t) { return t + std::string(kTaskDocumentLimit, '\n'); },
                        "task exceeds size limit"},
                   },
                   [](const std::string& t) { return read_task_document(t); });
}

TEST(IntervalSpacing, EveryIntervalHoldsAStepAndTheLastEndsTheSegment) {
    struct Case {
        std::uint64_t iterations;
        std::uint64_t intervals;
        std::vector<std::uint64_t> first_ends;
    };
    for (const Case& c : {Case{1, 1, {1}}, Case{3, 3, {1, 2, 3}}, Case{1000, 1000, {1, 2, 3}},
                          Case{2500, 1000, {2, 5, 7, 10}}, Case{1'000'000'000'000, 1000, {1'000'000'000}}}) {
        ASSERT_EQ(result_intervals(c.iterations), c.intervals);
        EXPECT_EQ(interval_end(c.iterations, 0), 0u);
        EXPECT_EQ(interval_end(c.iterations, c.intervals), c.iterations);
        for (std::size_t k = 0; k < c.first_ends.size(); ++k) EXPECT_EQ(interval_end(c.iterations, k + 1), c.first_ends[k]);
        for (std::uint64_t k = 1; k <= c.intervals; ++k) {
            ASSERT_LT(interval_end(c.iterations, k - 1), interval_end(c.iterations, k)) << c.iterations << " " << k;
        }
    }
}

TEST(ResultDocument, RoundTripsAndChecksItsCountBeforeItsMac) {
    const SegmentTask task = task_of(sample_plan(), 5);
    std::vector<Key32> states(result_intervals(task.iterations));
    for (std::size_t i = 0; i < states.size(); ++i) states[i][0] = static_cast<std::uint8_t>(i);
    const SegmentResult result = seal_result(task, states);
    const std::string text = text_of(write_result_document(result));
    EXPECT_LE(text.size(), kResultDocumentLimit);
    const SegmentResult back = read_result_document(text).value();
    EXPECT_EQ(text_of(write_result_document(back)), text);
    EXPECT_TRUE(check_result(back, task).ok());

    const std::string last = "\"" + encode_hex(states.back().span()) + "\"";
    expect_refused(text,
                   {
                       {"one state short", [&](const std::string& t) { return edited(t, ",\n    " + last, ""); },
                        "invalid result"},
                       {"segment 200", [](const std::string& t) { return edited(t, "\"segment\": 5", "\"segment\": 200"); },
                        "invalid result"},
                       {"version 2", [](const std::string& t) { return edited(t, "\"version\": 1", "\"version\": 2"); },
                        "unsupported result version"},
                       {"mac one digit short",
                        [](const std::string& t) { return std::string(t).erase(t.size() - 5, 1); },  // ...d"\n}\n
                        "noncanonical hex or wrong length"},
                       {"oversized", [](const std::string& t) { return t + std::string(kResultDocumentLimit, ' '); },
                        "result exceeds size limit"},
                   },
                   [](const std::string& t) { return read_result_document(t); });
}

// ---- Progress files -----------------------------------------------------------

struct ProgressFixture {
    SegmentTask task = task_of(sample_plan(), 9);
    Key32 key = work_key(task);
    std::string line(std::uint64_t iteration, std::uint8_t fill = 0) const {
        Key32 state;
        state[0] = static_cast<std::uint8_t>(iteration);
        state[1] = fill;
        return text_of(progress_line(task, key, iteration, state));
    }
};

TEST(ProgressFile, TornLinesArePassedOverAndForeignOrDisorderedOnesRefused) {
    const ProgressFixture f;
    // Interval ends for 2500 steps: 2, 5, 7, 10, ...
    struct Case {
        const char* what;
        std::string text;
        std::uint64_t iteration;  // expected position, or
        std::string error;        // expected error
        std::size_t interval_states = 0;
    };
    const std::string torn = f.line(7).substr(0, 100);
    const SegmentTask other_task = task_of(sample_plan(), 10);
    const Case cases[] = {
        {"empty", "", 0, ""},
        {"ends and a position", f.line(2) + f.line(4) + f.line(5), 5, "", 2},
        {"torn last line", f.line(2) + torn, 2, "", 1},
        {"torn line closed off", f.line(2) + torn + "\n" + f.line(5) + f.line(6), 6, "", 2},
        // No crash leaves a run longer than any line: the file is damaged,
        // and reading stops there (a sparse file of gigabytes costs nothing).
        {"an over-long line", f.line(2) + std::string(600, '{') + "\n" + f.line(3), 0,
         "progress file {p} is damaged: more than 512 bytes without a line end from byte " +
             std::to_string(f.line(2).size()) + "; remove it to start the segment again (the steps it holds are lost)"},
        {"an over-long unended tail", f.line(2) + std::string(513, '\0'), 0,
         "progress file {p} is damaged: more than 512 bytes without a line end from byte " +
             std::to_string(f.line(2).size()) + "; remove it to start the segment again (the steps it holds are lost)"},
        {"another task's line", f.line(2) + text_of(progress_line(other_task, work_key(other_task), 5, Key32())), 0,
         "progress file belongs to another task or is damaged"},
        {"a state changed", f.line(2) + edited(f.line(5), "\"x\":\"05", "\"x\":\"06"), 0,
         "progress file belongs to another task or is damaged"},
        {"beyond the segment", f.line(2501), 0, "progress file belongs to another task or is damaged"},
        {"going back", f.line(2) + f.line(5) + f.line(4), 0, "progress file is out of order"},
        {"an interval end missing", f.line(2) + f.line(6), 0, "progress file is out of order"},
    };
    test::ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dir.write("p", c.text);
        const auto read = read_progress(c.text, f.task, dir / "p");
        const auto loaded = load_progress(dir / "p", f.task);
        if (!c.error.empty()) {
            std::string error = c.error;
            if (const auto at = error.find("{p}"); at != std::string::npos) error.replace(at, 3, dir / "p");
            ASSERT_FALSE(read.ok());
            EXPECT_EQ(read.error().message(), error);
            ASSERT_FALSE(loaded.ok());
            EXPECT_EQ(loaded.error().message(), error);
            continue;
        }
        ASSERT_TRUE(read.ok()) << read.error().message();
        ASSERT_TRUE(loaded.ok()) << loaded.error().message();
        EXPECT_EQ(read->iteration, c.iteration);
        EXPECT_EQ(loaded->iteration, c.iteration);
        EXPECT_EQ(read->interval_states.size(), c.interval_states);
        EXPECT_EQ(loaded->interval_states.size(), c.interval_states);
        EXPECT_EQ(read->state, loaded->state);
        if (c.iteration == 0) EXPECT_EQ(read->state, f.task.seed);
        else EXPECT_EQ(read->state[0], static_cast<std::uint8_t>(c.iteration));
    }
    EXPECT_EQ(load_progress(dir / "absent", f.task).value().iteration, 0u);
}

// A huge progress file (sparse, as a crash never leaves one) costs no more
// than its first damaged bytes: reading it stops at once, from the start
// (a resumed walk) and from the end (status).
TEST(ProgressFile, AHugeDamagedFileIsRefusedAfterReadingAFewBytes) {
    const ProgressFixture f;
    test::ScratchDir dir(test::memory_temp_directory());
    dir.write("p", f.line(2) + f.line(4));
    ASSERT_EQ(::truncate((dir / "p").c_str(), 20'000'000'000LL), 0);
    const file_io::Dir opened = file_io::open_directory(dir.path()).value();
    std::size_t reads = 0;
    const file_io::ScopedFaultHook count([&reads](file_io::Op op) -> std::optional<int> {
        reads += op == file_io::Op::Read;
        return std::nullopt;
    });
    const std::string damaged = "progress file " + dir / "p" + " is damaged: more than 512 bytes without a line end from byte ";
    const auto loaded = load_progress(opened, "p", f.task);
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().message().substr(0, damaged.size()), damaged);
    const auto position = last_progress_position(opened, "p", f.task);
    ASSERT_FALSE(position.ok());
    EXPECT_EQ(position.error().message().substr(0, damaged.size()), damaged);
    EXPECT_LE(reads, 4u);
}

// Status reads the position from the file's end; a torn last line is passed over.
TEST(ProgressFile, ThePositionIsTheLastLineOfTheTasksFromTheEnd) {
    const ProgressFixture f;
    test::ScratchDir dir;
    const file_io::Dir opened = file_io::open_directory(dir.path()).value();
    EXPECT_EQ(last_progress_position(opened, "p", f.task).value(), 0u);
    dir.write("p", std::string(9000, '\n') + f.line(2) + f.line(5) + f.line(6).substr(0, 50));
    EXPECT_EQ(last_progress_position(opened, "p", f.task).value(), 5u);
}

TEST(ProgressFile, TheStreamingLoaderAgreesWithTheWholeTextAcrossItsBufferBoundary) {
    const ProgressFixture f;
    // Over 64 KiB of lines, so lines straddle the loader's read chunks.
    std::string text;
    for (std::uint64_t j = 1; j <= 400; ++j) text += f.line(j, 7);
    ASSERT_GT(text.size(), 65536u * 1.5);
    test::ScratchDir dir;
    dir.write("p", text);
    const SegmentProgress read = read_progress(text, f.task, "p").value();
    const SegmentProgress loaded = load_progress(dir / "p", f.task).value();
    EXPECT_EQ(loaded.iteration, 400u);
    EXPECT_EQ(read.iteration, loaded.iteration);
    EXPECT_EQ(read.interval_states, loaded.interval_states);
    EXPECT_EQ(loaded.interval_states.size(), 160u);  // ends 2, 5, 7, 10, ... up to 400
}

}  // namespace
}  // namespace zt
