// The command handlers the driver dispatches to, one per subcommand.
//
// Each handler takes its subcommand's parsed fields and returns success or
// the error that the driver turns into the error report (exit status 1).
// Handlers print their one result with write_stdout (cli/driver.h) and
// nothing else on standard output. They may throw zt::InternalFault, which
// ends the program with status 101, and solve may throw zt::Interrupted
// (stopped on request, status 130 or 143); no other exception leaves a
// handler.
//
// Thread safety: called once, on the main thread.
#pragma once

#include "cli/parse/args.h"
#include "timelock/base/error.h"

namespace zt::cli {

zt::Result<void> run_decrypt_paste(const DecryptPasteArgs& args);
zt::Result<void> run_decrypt_record(const DecryptRecordArgs& args);
zt::Result<void> run_calibrate(const CalibrateArgs& args);
zt::Result<void> run_generate(const GenerateArgs& args);
zt::Result<void> run_solve(const SolveArgs& args);
zt::Result<void> run_keygen(const KeygenArgs& args);
zt::Result<void> run_pubkey(const PubkeyArgs& args);
zt::Result<void> run_status(const StatusArgs& args);
zt::Result<void> run_plan(const PlanArgs& args);
zt::Result<void> run_work(const WorkArgs& args);
zt::Result<void> run_assemble(const AssembleArgs& args);
zt::Result<void> run_verify_result(const VerifyResultArgs& args);
zt::Result<void> run_seal_record(const SealRecordArgs& args);
zt::Result<void> run_seal_paste(const SealPasteArgs& args);
zt::Result<void> run_verify(const VerifyArgs& args);

}  // namespace zt::cli
