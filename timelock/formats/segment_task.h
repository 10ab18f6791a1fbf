// A segment task: one segment's share of a generation plan, all that the
// worker of that segment needs and nothing more. It holds the public puzzle
// parameters, the plan id, the segment index and that segment's seed; never
// the epoch key, the nonces or another segment's seed.
//
// Task document (task-NN.json), a JSON object in this member order, one line,
// at most kTaskDocumentLimit bytes:
//   {"version":1,"plan_id":"<64 hex>","epoch":E,"iterations":N,
//    "dataset_key":"<64 hex>","segment":I,"seed":"<64 hex>"}
// with iterations 1 .. 10^12 and segment 0 .. 95. The reader is strict like
// the manifest's (any member order or positional, nothing unknown, repeated
// or missing, canonical hex).
//
// The work key authenticates what a worker writes about its segment (its
// progress lines and its result): HKDF-SHA256 with salt
// "zanth-timelock-segment-work-v1", input the seed, info plan id (32) |
// segment BE32. Only holders of the task (the worker) or of the plan (the
// service) can compute it.
//
// A verification task (verify-NN.json) is the task of a segment together
// with its verification key, for the machine that checks the segment's
// result in full (verify-result) and nobody else:
//   {"version":1,"plan_id":"<64 hex>","epoch":E,"iterations":N,
//    "dataset_key":"<64 hex>","segment":I,"seed":"<64 hex>","verify_key":"<64 hex>"}
// The verification key authenticates the outcome of that check
// (verification_outcome.h): HKDF-SHA256 with salt
// "zanth-timelock-segment-verify-v1", input the epoch key, info plan id (32)
// | segment BE32. The epoch key is in the plan only, so only the plan's holder
// (the service) can compute it; a work task does not carry it, so a worker
// cannot vouch for its own result.
//
// Secrets: the seed, the work and verification keys and the document text
// live in self-wiping holders.
//
// Thread safety: plain values and pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "timelock/base/error.h"
#include "timelock/base/secret.h"
#include "timelock/formats/generation_plan.h"

namespace zt {

inline constexpr std::uint32_t kTaskVersion = 1;
inline constexpr std::size_t kTaskDocumentLimit = 1024;

inline constexpr std::string_view kTaskTooLarge = "task exceeds size limit";
inline constexpr std::string_view kUnsupportedTask = "unsupported task version";
inline constexpr std::string_view kInvalidTask = "invalid task";

struct SegmentTask {
    std::string plan_id;  // 64 hex digits
    std::uint64_t epoch = 0;
    std::uint64_t iterations = 0;
    Key32 dataset_key;  // public; held as a key because the engine is keyed with it
    std::uint32_t segment = 0;
    Key32 seed;
};

// Task `segment` (below 96) of `plan`.
SegmentTask task_of(const GenerationPlan& plan, std::uint32_t segment);

SecureBytes write_task_document(const SegmentTask& task);

// Size ("task exceeds size limit"), the JSON rules, version ("unsupported
// task version"), iterations and segment ("invalid task"), canonical hex.
Result<SegmentTask> read_task_document(std::string_view text);

Key32 work_key(const SegmentTask& task);

struct VerificationTask {
    SegmentTask task;
    Key32 verify_key;
};

// Verification task `segment` (below 96) of `plan`.
VerificationTask verification_task_of(const GenerationPlan& plan, std::uint32_t segment);

SecureBytes write_verification_task_document(const VerificationTask& verification);

// As read_task_document, and the verification key (canonical hex).
Result<VerificationTask> read_verification_task_document(std::string_view text);

// "segment 8" for index 7: messages count segments from 1, as a person does.
std::string segment_name(std::uint32_t segment);

}  // namespace zt
