#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <stdexcept>

#include "tests/support/scratch_dir.h"

namespace zt::test {
namespace {

int decode_status(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

int wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    return status;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& output_dir, int pending_at_start)
    : output_dir_(output_dir) {
    const std::string out_path = output_dir + "/stdout";
    const std::string err_path = output_dir + "/stderr";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // The test runner may have blocked or ignored signals; the program
        // must start with the ordinary dispositions.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        if (pending_at_start != 0) {
            signal(pending_at_start, SIG_DFL);
            sigset_t held;
            sigemptyset(&held);
            sigaddset(&held, pending_at_start);
            sigprocmask(SIG_BLOCK, &held, nullptr);
            ::raise(pending_at_start);
        }
        ::close(STDIN_FILENO);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0) ::_exit(126);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
}

bool ChildProcess::wait_until_catching(int signal_number, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string status_path = "/proc/" + std::to_string(pid_) + "/status";
    const unsigned long long bit = 1ULL << (signal_number - 1);
    while (std::chrono::steady_clock::now() < deadline && running()) {
        std::ifstream status(status_path);
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("SigCgt:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) & bit) != 0) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        try {
            wait_for(pid_);
        } catch (...) {
        }
    }
}

void ChildProcess::send(int signal_number) const {
    if (!reaped_) ::kill(pid_, signal_number);
}

bool ChildProcess::running() {
    if (reaped_) return false;
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        reaped_ = true;
        status_ = status;
    }
    return !reaped_;
}

ProcessResult ChildProcess::wait() {
    if (!reaped_) {
        status_ = wait_for(pid_);
        reaped_ = true;
    }
    ProcessResult result;
    result.status = decode_status(status_);
    result.out = read_file(output_dir_ + "/stdout");
    result.err = read_file(output_dir_ + "/stderr");
    return result;
}

int run_in_child(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int code = 125;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    return decode_status(wait_for(pid));
}

bool wait_for_text(const std::string& path, const std::string& needle, ChildProcess& child,
                   std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline && child.running()) {
        std::error_code ignored;
        if (std::filesystem::exists(path, ignored) && read_file(path).find(needle) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace zt::test
