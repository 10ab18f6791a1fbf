// decrypt-record on a record of the maximum size: a 33,554,464-digit
// ciphertext (16 MiB of plaintext) in a document just under the 33,556,480
// byte limit. The built program is run as a child process, so the figures
// are those of the whole command: reading, parsing, verifying the manifest,
// hex decoding, decryption, and publishing with its fsyncs.
//
// Baseline: `sha256sum` of the same record file, run alternately with the
// command in the same session. Reported: median wall time and peak resident
// memory (wait4's ru_maxrss) of each, and their ratios.
//
// Usage: decrypt_record_bench [--binary PATH] [--runs N] [--dir DIR] [--keep 1]
//   PATH defaults to zanth-timelock in the build directory above this
//   program; DIR (default: the system's temporary directory) holds the
//   inputs and outputs and decides which file system the fsyncs hit; with
//   --keep 1 the inputs are left there (for profiling the command by hand).
#include <sodium.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "timelock/base/crypto.h"
#include "timelock/base/protocol.h"
#include "timelock/ed25519/ed25519.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/formats/record.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Run {
    double seconds = 0;      // wall time
    double cpu_seconds = 0;  // user + system: less disturbed by other load on the machine
    long max_rss_kib = 0;
};

double seconds_of(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; }

// Runs `argv` with standard output sent to /dev/null; throws unless it exits 0.
Run run_child(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::fflush(stdout);
    const Clock::time_point start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
        ::execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("wait4 failed");
    Run run{std::chrono::duration<double>(Clock::now() - start).count(),
            seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime), usage.ru_maxrss};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(argv[0] + " failed");
    return run;
}

void write_file(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

zt::Key32 random_key() {
    zt::Key32 key;
    if (!zt::random_bytes(key.span())) throw std::runtime_error("OS randomness failed");
    return key;
}

// A signed manifest for `epoch_key`, the record document, and its plaintext.
struct Inputs {
    std::string manifest;
    std::string service_public_key;
    std::string record;
    std::string plaintext;
};

Inputs make_inputs(const zt::Key32& epoch_key) {
    namespace p = zt::protocol;
    zt::Manifest m{p::kProtocolVersion, 7, std::string(p::kRandomxRelease), std::string(p::kRandomxCommit),
                   std::string(p::kRandomxAlgorithm), zt::encode_hex(random_key().span()), 1, 96,
                   zt::encode_hex(random_key().span()), {}, zt::key_commitment(epoch_key)};
    for (int i = 0; i < 96; ++i) m.wrapped_keys.push_back(std::string(120, 'a'));
    const zt::Ed25519KeyPair service = zt::ed25519_from_seed(random_key());
    auto signed_manifest = zt::sign_manifest(m, service);
    if (!signed_manifest) throw std::runtime_error(signed_manifest.error().message());
    const std::string id = *zt::manifest_id(*signed_manifest);
    const auto id_bytes = *zt::decode_hex_fixed<32>(id);

    Inputs in;
    in.manifest = zt::write_signed_manifest(*signed_manifest);
    in.service_public_key = signed_manifest->service_public_key;
    const std::size_t plain_size = (zt::record::kMaxCiphertextHex / 2) - crypto_aead_xchacha20poly1305_ietf_ABYTES;
    in.plaintext.resize(plain_size);
    randombytes_buf(in.plaintext.data(), in.plaintext.size());

    const zt::Key32 key = zt::derive_key(zt::labels::record_key, epoch_key, id_bytes);
    const zt::Bytes aad = zt::record_associated_data(m.epoch, 1, id_bytes);
    unsigned char nonce[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES];
    randombytes_buf(nonce, sizeof nonce);
    zt::Bytes sealed(plain_size + crypto_aead_xchacha20poly1305_ietf_ABYTES);
    unsigned long long sealed_len = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(sealed.data(), &sealed_len,
                                               reinterpret_cast<const unsigned char*>(in.plaintext.data()),
                                               in.plaintext.size(), aad.data(), aad.size(), nullptr, nonce,
                                               key.data());
    in.record = R"({"version":1,"epoch":7,"sequence":1,"puzzle_id":")" + id + R"(","nonce":")" +
                zt::encode_hex(std::span<const std::uint8_t>(nonce, sizeof nonce)) + R"(","ciphertext":")" +
                zt::encode_hex(sealed) + "\"}\n";
    return in;
}

// Writes the inputs into `dir`, and the expected plaintext as plain.expected,
// from a child process: a forked child starts with its parent's resident
// pages counted in its own peak, so the measuring parent never holds the
// 50 MiB of inputs itself. Returns the service public key (the pin).
std::string write_inputs(const fs::path& dir) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::close(fds[0]);
        try {
            const zt::Key32 epoch_key = random_key();
            const Inputs in = make_inputs(epoch_key);
            write_file(dir / "manifest.json", in.manifest);
            write_file(dir / "epoch.key", zt::encode_hex(epoch_key.span()));
            write_file(dir / "record.json", in.record);
            write_file(dir / "plain.expected", in.plaintext);
            if (::write(fds[1], in.service_public_key.data(), 64) != 64) _exit(1);
            _exit(0);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "decrypt_record_bench: %s\n", e.what());
            _exit(1);
        }
    }
    ::close(fds[1]);
    std::string pin(64, '\0');
    const ssize_t got = ::read(fds[0], pin.data(), pin.size());
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (got != 64 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("making inputs failed");
    return pin;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::string binary = (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "zanth-timelock").string();
    int runs = 7;
    fs::path base = fs::temp_directory_path();
    bool keep = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--binary") binary = argv[i + 1];
        else if (opt == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
        else if (opt == "--dir") base = argv[i + 1];
        else if (opt == "--keep") keep = std::string(argv[i + 1]) == "1";
        else {
            std::fprintf(stderr, "usage: %s [--binary PATH] [--runs N] [--dir DIR] [--keep 1]\n", argv[0]);
            return 2;
        }
    }
    if (sodium_init() < 0) return 1;

    std::string pattern = (base / "zt-record-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = pattern;
    int status = 0;
    try {
        const std::string pin = write_inputs(dir);
        const std::string record = (dir / "record.json").string();
        std::printf("record: %ju bytes (limit %zu), ciphertext %zu hex digits, plaintext %ju bytes; %d runs in %s\n",
                    static_cast<std::uintmax_t>(fs::file_size(record)), zt::record::kDocumentLimit,
                    zt::record::kMaxCiphertextHex, static_cast<std::uintmax_t>(fs::file_size(dir / "plain.expected")),
                    runs, dir.c_str());

        std::vector<double> command_s, hash_s, command_cpu, hash_cpu;
        long command_rss = 0, hash_rss = 0;
        for (int i = 0; i < runs; ++i) {
            const std::string out = (dir / ("plain-" + std::to_string(i) + ".bin")).string();
            const Run c = run_child({binary, "decrypt-record", "--manifest", (dir / "manifest.json").string(),
                                     "--service-public-key", pin, "--epoch-key", (dir / "epoch.key").string(),
                                     "--record", record, "--plaintext-out", out});
            const Run h = run_child({"sha256sum", record});
            if (i == 0) run_child({"cmp", "-s", (dir / "plain.expected").string(), out});  // throws on a difference
            fs::remove(out);  // keeps the directory small; its staged twin goes with the directory
            command_s.push_back(c.seconds);
            hash_s.push_back(h.seconds);
            command_cpu.push_back(c.cpu_seconds);
            hash_cpu.push_back(h.cpu_seconds);
            command_rss = std::max(command_rss, c.max_rss_kib);
            hash_rss = std::max(hash_rss, h.max_rss_kib);
        }
        const double c = median(command_s), h = median(hash_s);
        const double cc = median(command_cpu), hc = median(hash_cpu);
        std::printf("%-16s %14s %14s %14s\n", "", "median wall ms", "median cpu ms", "peak RSS MiB");
        std::printf("%-16s %14.1f %14.1f %14.1f\n", "sha256sum", h * 1e3, hc * 1e3,
                    static_cast<double>(hash_rss) / 1024);
        std::printf("%-16s %14.1f %14.1f %14.1f\n", "decrypt-record", c * 1e3, cc * 1e3,
                    static_cast<double>(command_rss) / 1024);
        std::printf("ratio to sha256sum: wall %.2fx, cpu %.2fx, peak memory %.1fx\n", c / h, cc / hc,
                    static_cast<double>(command_rss) / static_cast<double>(hash_rss));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "decrypt_record_bench: %s\n", e.what());
        status = 1;
    }
    std::error_code ignored;
    if (!keep) fs::remove_all(dir, ignored);
    return status;
}
