// The split generation against hostile files on shared storage, through the
// built program: every path argument of work, assemble, verify-result and
// generate --state, and every file they keep beside those, replaced by a
// symbolic link (to a world-writable file), a FIFO, a file or a link of
// another user, a file open to others or a directory. What a command reads
// or writes is refused with an error that names it, before anything is
// published and without writing through the link; what it would only wipe
// afterwards is refused too when it is ours, and named and left as it is
// when another user owns it (a shared sticky results directory lets anyone
// plant names there); the untouched state still goes through. plan's state
// directory is made 0700, and refused when it belongs to another user or is
// no directory.
//
// The state (a plan of 2 iterations and its 96 results) is made once with
// the real light-mode RandomX.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/opened.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signed_manifest.h"
#include "tests/support/subprocess.h"
#include "timelock/formats/generation_plan.h"
#include "timelock/split/assembly.h"
#include "timelock/split/segment_job.h"
#include "timelock/split/state_dir.h"
#include "timelock/work/engine.h"

namespace zt {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 4321;

enum class Hostile { symlink, fifo, foreign_owner, foreign_symlink, open_mode, directory };

// Every kind, with the words for it in a failure's trace.
constexpr std::pair<Hostile, const char*> kAllHostile[] = {
    {Hostile::symlink, "symbolic link"},
    {Hostile::fifo, "FIFO"},
    {Hostile::foreign_owner, "another user's file"},
    {Hostile::foreign_symlink, "another user's symbolic link"},
    {Hostile::open_mode, "file open to others"},
    {Hostile::directory, "directory"},
};

bool foreign(Hostile kind) { return kind == Hostile::foreign_owner || kind == Hostile::foreign_symlink; }

constexpr const char* kStagedName = ".zanth-timelock-staged-0123456789abcdef0123456789abcdef";

// st/ holds the plan and tasks, res/ the 96 results, gst/ both (the layout
// of generate --state), signing.key the service's seed.
class RealLightHostileFiles : public testing::Test {
public:
    static void SetUpTestSuite() {
        fixture_ = std::make_unique<test::ScratchDir>();
        const test::ScratchDir& d = *fixture_;
        const GenerationPlan plan = draw_plan(5, 2).value();
        ASSERT_TRUE(write_state(test::state_at(d / "st"), plan, StateFiles::with_verification).ok());
        fs::create_directories(d.path() / "res");
        const WorkEngine engine = WorkEngine::setup(plan.dataset_key, WorkMode::Light).value();
        RandomxVm vm = engine.create_vm().value();
        for (const SegmentTask& task : tasks_of(plan)) {
            const OutputTarget target = test::target_at(d / ("res/" + result_file_name(task.segment)));
            auto job = SegmentJob::open(task, target);
            ASSERT_TRUE(job.ok()) << job.error().message();
            ASSERT_TRUE(job->run(vm, {}).ok());
        }
        fs::copy(d.path() / "st", d.path() / "gst");
        fs::copy(d.path() / "res", d.path() / "gst");
        d.write("signing.key", test::kServiceSeedHex);
    }
    static void TearDownTestSuite() { fixture_.reset(); }

    void SetUp() override { fresh(); }

    // A fresh copy of the fixture.
    void fresh() {
        dir_ = std::make_unique<test::ScratchDir>();
        for (const char* name : {"st", "res", "gst"}) {
            fs::copy(fixture_->path() / name, dir_->path() / name, fs::copy_options::recursive);
        }
        fs::copy(fixture_->path() / "signing.key", dir_->path() / "signing.key");
        dir_->write("leak", "untouched");
        fs::permissions(dir_->path() / "leak", fs::perms::all);
    }

    std::string at(const std::string& name) const { return *dir_ / name; }

    // Puts `kind` at `name`, replacing what is there.
    void plant(Hostile kind, const std::string& name) const {
        const std::string path = at(name);
        if (kind == Hostile::foreign_owner || kind == Hostile::open_mode) {
            if (!fs::exists(path)) dir_->write(name, "{}\n");
            if (kind == Hostile::foreign_owner) ASSERT_EQ(::chown(path.c_str(), kOtherUser, kOtherUser), 0);
            else ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
            return;
        }
        fs::remove(path);
        if (kind == Hostile::symlink || kind == Hostile::foreign_symlink) fs::create_symlink(at("leak"), path);
        if (kind == Hostile::foreign_symlink) ASSERT_EQ(::lchown(path.c_str(), kOtherUser, kOtherUser), 0);
        if (kind == Hostile::fifo) ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        if (kind == Hostile::directory) fs::create_directory(path);
    }

    std::vector<std::string> work() const {
        fs::remove(at("res/result-07.json"));  // so that there is work to do
        return {"work", "--task", at("st/task-07.json"), "--result", at("res/result-07.json"), "--mode", "light"};
    }
    std::vector<std::string> assemble() const {
        return {"assemble",       "--state",          at("st"),        "--results",    at("res"),
                "--signing-key",  at("signing.key"),  "--manifest-out", at("m.json"), "--epoch-key-out",
                at("e.hex"),      "--mode",           "light"};
    }
    std::vector<std::string> verify_result() const {
        return {"verify-result", "--task", at("st/verify-07.json"), "--result", at("res/result-07.json"), "--mode",
                "light"};
    }
    std::vector<std::string> generate_state() const {
        return {"generate",      "--epoch",          "5",         "--iterations",   "2",
                "--signing-key", at("signing.key"),  "--manifest-out", at("m.json"), "--epoch-key-out",
                at("e.hex"),     "--mode",           "light",     "--state",        at("gst")};
    }

    static std::unique_ptr<test::ScratchDir> fixture_;
    std::unique_ptr<test::ScratchDir> dir_;
};

std::unique_ptr<test::ScratchDir> RealLightHostileFiles::fixture_;

TEST_F(RealLightHostileFiles, EveryPathOfTheSplitCommandsRefusesEveryHostileFile) {
    using Command = std::vector<std::string> (RealLightHostileFiles::*)() const;
    struct Target {
        const char* command;
        Command args;
        std::vector<std::string> used;       // read or written: refused, whoever owns it
        std::vector<std::string> only_wiped;  // refused when ours, left when another user's
        std::vector<std::string> not_believed = {};  // named, and the run goes on as if it were not there
    };
    const std::string res_staged = std::string("res/") + kStagedName;
    const std::string gst_staged = std::string("gst/") + kStagedName;
    const Target targets[] = {
        {"work",
         &RealLightHostileFiles::work,
         {"st/task-07.json", "res/result-07.json", "res/result-07.json.progress"},
         {}},
        {"assemble",
         &RealLightHostileFiles::assemble,
         {"st/plan.json", "res/result-07.json"},
         {"st/task-07.json", "st/verify-07.json", "res/result-07.json.progress", res_staged},
         {"res/result-07.json.verified"}},
        {"verify-result",
         &RealLightHostileFiles::verify_result,
         {"st/verify-07.json", "res/result-07.json", "res/result-07.json.verified"},
         {}},
        {"generate --state",
         &RealLightHostileFiles::generate_state,
         {"gst/plan.json", "gst/result-07.json"},
         {"gst/task-07.json", "gst/result-07.json.progress", gst_staged}},
    };
    for (const Target& target : targets) {
        enum class Use { used, only_wiped, not_believed };
        std::vector<std::pair<std::string, Use>> files;
        for (const std::string& file : target.used) files.emplace_back(file, Use::used);
        for (const std::string& file : target.only_wiped) files.emplace_back(file, Use::only_wiped);
        for (const std::string& file : target.not_believed) files.emplace_back(file, Use::not_believed);
        for (const auto& [file, use] : files) {
            const bool only_wiped = use != Use::used;
            for (const auto& [kind, kind_name] : kAllHostile) {
                // Who owns a link does not matter where nothing is followed anyway.
                if (kind == Hostile::foreign_symlink && !only_wiped) continue;
                SCOPED_TRACE(std::string(target.command) + ": " + kind_name + " at " + file);
                fresh();
                const std::vector<std::string> args = (this->*target.args)();
                plant(kind, file);
                const test::ProcessResult run = test::run_program(ZT_BINARY, args);
                EXPECT_NE(run.err.find(at(file)), std::string::npos) << run.err;
                EXPECT_EQ(test::read_file(at("leak")), "untouched");
                if (use == Use::not_believed) {
                    // An outcome that is not a private file of ours counts for nothing.
                    EXPECT_EQ(run.status, 0) << run.err;
                    EXPECT_NE(run.err.find("; segment 8 is sampled as if it had none\n"), std::string::npos) << run.err;
                    EXPECT_TRUE(fs::exists(at("m.json")));
                    continue;
                }
                if (only_wiped && foreign(kind)) {
                    // Named, never opened, and still there after the state is removed.
                    EXPECT_EQ(run.status, 0) << run.err;
                    EXPECT_NE(run.err.find("Warning: " + at(file) + " belongs to another user: left as it is"),
                              std::string::npos)
                        << run.err;
                    EXPECT_TRUE(fs::exists(fs::symlink_status(at(file))));
                    EXPECT_TRUE(fs::exists(at("m.json")));
                    continue;
                }
                EXPECT_EQ(run.status, 1) << run.err;
                EXPECT_FALSE(fs::exists(at("m.json")));
                EXPECT_FALSE(fs::exists(at("e.hex")));
            }
        }
        SCOPED_TRACE(std::string(target.command) + " on the untouched state");
        fresh();
        const test::ProcessResult run = test::run_program(ZT_BINARY, (this->*target.args)());
        EXPECT_EQ(run.status, 0) << run.err;
    }
}

TEST_F(RealLightHostileFiles, PlanMakesItsStateDirectoryPrivateOrRefusesIt) {
    const auto plan = [this](const std::string& state) {
        return test::run_program(ZT_BINARY, {"plan", "--epoch", "1", "--iterations", "2", "--state", at(state)});
    };
    fs::create_directory(at("open"));
    fs::permissions(at("open"), fs::perms::all);
    const test::ProcessResult opened = plan("open");
    EXPECT_EQ(opened.status, 0) << opened.err;
    struct stat info {};
    ASSERT_EQ(::stat(at("open").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);

    fs::create_directory(at("foreign"));
    ASSERT_EQ(::chown(at("foreign").c_str(), kOtherUser, kOtherUser), 0);
    const test::ProcessResult foreign = plan("foreign");
    EXPECT_EQ(foreign.status, 1);
    EXPECT_EQ(foreign.err, "Error: --state " + at("foreign") + " belongs to another user; give a directory of your own\n");
    EXPECT_TRUE(dir_->entries("foreign").empty());

    ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
    EXPECT_EQ(plan("fifo").status, 1);
    // A directory left holding only a staged plan: the black-box case generate-state-only-staged-plan.
}

TEST_F(RealLightHostileFiles, AnOutputNamingAStateFileIsRefusedBeforePublishing) {
    std::vector<std::string> args = assemble();
    // A progress file named as it is: the black-box case assemble-epoch-key-out-names-a-state-file.
    for (const char* state_file :
         {"res/../res/result-03.json.verified", "st/./.zanth-timelock-staged-0123456789abcdef0123456789abcdef"}) {
        SCOPED_TRACE(state_file);
        args[10] = at(state_file);  // --epoch-key-out
        const test::ProcessResult run = test::run_program(ZT_BINARY, args);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("is a file of the generation's state"), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(at("m.json")));
    }
    EXPECT_TRUE(fs::exists(at("st/plan.json")));
}

}  // namespace
}  // namespace zt
