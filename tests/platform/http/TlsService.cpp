#include "TlsService.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <vector>

extern char** environ;

namespace testsupport {

namespace {

// Starts openssl with `arguments`, its output into `output` or discarded and
// its errors discarded; the child's pid, or -1.
pid_t spawnOpenssl(std::vector<std::string> arguments, int output = -1) {
    arguments.insert(arguments.begin(), "openssl");
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output >= 0) {
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    if (posix_spawnp(&child, "openssl", &actions, nullptr, argv.data(), environ) != 0) {
        child = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

// Runs openssl with `arguments` to its end; true when it exits 0.
bool runOpenssl(std::vector<std::string> arguments, int output = -1) {
    const pid_t child = spawnOpenssl(std::move(arguments), output);
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

} // namespace

TlsCertificates::TlsCertificates() {
    const auto at = [&](const char* name) { return (folder_.path() / name).string(); };
    const std::vector<std::string> ellipticKey = {"-newkey", "ec", "-pkeyopt",
                                                  "ec_paramgen_curve:P-256", "-nodes"};
    auto request = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), ellipticKey.begin(), ellipticKey.end());
        arguments.insert(arguments.begin(), "req");
        return runOpenssl(std::move(arguments));
    };
    made_ =
        request({"-x509", "-keyout", at("root.key"), "-out", at("root.pem"), "-days", "2", "-subj",
                 "/CN=Private Test Root", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                 "keyUsage=critical,keyCertSign"}) &&
        request({"-keyout", at("service.key"), "-out", at("service.csr"), "-subj", "/CN=127.0.0.1",
                 "-addext", "subjectAltName=IP:127.0.0.1"}) &&
        runOpenssl({"x509", "-req", "-in", at("service.csr"), "-CA", at("root.pem"), "-CAkey",
                    at("root.key"), "-CAcreateserial", "-copy_extensions", "copyall", "-days", "2",
                    "-out", at("service.pem")}) &&
        runOpenssl({"req", "-x509", "-key", at("service.key"), "-out", at("self.pem"), "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    if (!made_) {
        return;
    }
    // A hashed folder as the system's TLS library reads one: <hash>.0 per root.
    std::filesystem::create_directory(rootFolder());
    const auto hashFile = folder_.path() / "root.hash";
    const int hashOutput = open(hashFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    made_ = hashOutput >= 0 &&
            runOpenssl({"x509", "-noout", "-subject_hash", "-in", at("root.pem")}, hashOutput);
    if (hashOutput >= 0) {
        close(hashOutput);
    }
    std::string hash;
    std::ifstream(hashFile) >> hash;
    made_ = made_ && !hash.empty();
    if (made_) {
        std::filesystem::copy_file(privateRoot(), rootFolder() / (hash + ".0"));
    }
}

TlsService::TlsService(const std::filesystem::path& certificate, const std::filesystem::path& key) {
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        return;
    }
    process_ = spawnOpenssl(
        {"s_server", "-accept", "127.0.0.1:0", "-www", "-cert", certificate, "-key", key},
        output[1]);
    close(output[1]);
    output_ = platform::UniqueFd(output[0]);
    // The first line that names the listening address carries the port.
    std::string text;
    char buffer[256];
    ssize_t got = 0;
    while (process_ > 0 && text.find('\n', text.find("ACCEPT")) == std::string::npos &&
           (got = read(output_.get(), buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(got));
    }
    if (const auto accept = text.find("ACCEPT 127.0.0.1:"); accept != std::string::npos) {
        port_ = static_cast<std::uint16_t>(std::stoi(text.substr(accept + 17)));
    }
}

TlsService::~TlsService() {
    if (process_ > 0) {
        kill(process_, SIGTERM);
        waitpid(process_, nullptr, 0);
    }
}

std::optional<std::string> TlsService::baseUrl() const {
    if (port_ == 0) {
        return std::nullopt;
    }
    return "https://127.0.0.1:" + std::to_string(port_);
}

} // namespace testsupport
