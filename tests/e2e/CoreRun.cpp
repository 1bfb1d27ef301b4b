#include "tests/e2e/CoreRun.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kiv::e2e {
namespace {

namespace fs = std::filesystem;

std::string Env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

void Copy(const fs::path& from, const fs::path& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

}  // namespace

const char kTimeZone[] = "XST-5:30";

std::string BinDir() { return Env("KIV_BIN_DIR", "../bin"); }

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

GapScenario::GapScenario(int64_t now) {
    int32_t t = static_cast<int32_t>(now);
    disconnectedAt = t - 700;
    reconnectedAt = t - 300;
    clips = {{"clip1.mp4", t - 900, t - 898},
             {"clip2.mp4", t - 600, t - 598},
             {"clip3.mp4", t - 500, t - 498},
             {"clip4.mp4", t - 400, t - 398}};
    timeline = "<Connected At=\"0\" Device=\"3\" Channel=\"0\" Time=\"" + std::to_string(t - 1000) +
               "\"/>\n" + "<Disconnected At=\"100\" Device=\"3\" Channel=\"0\" Time=\"" +
               std::to_string(disconnectedAt) + "\"/>\n" +
               "<Connected At=\"200\" Device=\"3\" Channel=\"0\" Time=\"" +
               std::to_string(reconnectedAt) + "\"/>\n";
}

CoreRun::CoreRun() {
    char pattern[] = "/tmp/kiv-e2e-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = fs::canonical(pattern).string();
    fs::path bin = BinDir();
    fs::create_directories(fs::path(dir_) / "plugins");
    fs::create_directories(fs::path(dir_) / "edge");
    Copy(bin / "core", fs::path(dir_) / "core");
    fs::permissions(fs::path(dir_) / "core", fs::perms::owner_all, fs::perm_options::add);
    Copy(bin / "plugins" / "RimvaultPI.so", fs::path(dir_) / "plugins" / "RimvaultPI.so");
    for (const char* peer : {"DevicePeer.so", "StoragePeer.so", "MonitorPeer.so"}) {
        Copy(bin / "peers" / peer, fs::path(dir_) / "plugins" / peer);
    }
    fs::path clips = fs::path(Env("KIV_TEST_DATA_DIR", "../testdata")) / "e2e";
    for (int i = 1; i <= 4; ++i) {
        std::string name = "clip" + std::to_string(i) + ".mp4";
        Copy(clips / name, fs::path(dir_) / "edge" / name);
    }
}

CoreRun::~CoreRun() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (stdin_ >= 0) close(stdin_);
    if (std::getenv("KIV_KEEP_E2E") == nullptr) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
}

void CoreRun::WriteScenario(const std::vector<ClipSpec>& clips, const std::string& timeline,
                            const std::string& extra, bool answers) {
    std::ostringstream xml;
    xml << "<Scenario>\n"
        << "  <DevicePeer ID=\"" << kOwner << "\">\n"
        << "    <Device Number=\"" << kCamera << "\" RimvaultSupported=\"1\" Answers=\""
        << (answers ? 1 : 0) << "\" InputName=\"Front door\" EdgeStorage=\"edge\">\n";
    for (const ClipSpec& clip : clips) {
        xml << "      <Clip File=\"" << clip.file << "\" Start=\"" << clip.start << "\" Stop=\""
            << clip.stop << "\"/>\n";
    }
    xml << extra << "    </Device>\n"
        << "    <Timeline>\n"
        << timeline << "    </Timeline>\n"
        << "  </DevicePeer>\n"
        << "  <StoragePeer Root=\"storage\"/>\n"
        << "</Scenario>\n";
    std::ofstream(fs::path(dir_) / "peer_scenario.xml") << xml.str();
}

void CoreRun::Start() {
    int pipefd[2];
    if (pipe(pipefd) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipefd[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipefd[1]);
    std::string out = dir_ + "/core.out";
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);

    // The core's own environment: its single-instance lock lives in HOME, so
    // every run gets a HOME of its own; local time is kTimeZone.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "HOME=", 5) != 0 && std::strncmp(*e, "TZ=", 3) != 0) env.push_back(*e);
    }
    env.push_back("HOME=" + dir_);
    env.push_back(std::string("TZ=") + kTimeZone);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    std::string core = dir_ + "/core";
    std::string foreground = "-d";
    char* argv[] = {&core[0], &foreground[0], nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, core.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipefd[0]);
    if (rc != 0) {
        close(pipefd[1]);
        throw std::runtime_error("cannot start core");
    }
    pid_ = pid;
    stdin_ = pipefd[1];
}

int CoreRun::Stop() {
    if (pid_ <= 0) return -1;
    ssize_t written = write(stdin_, "\n", 1);
    (void)written;
    close(stdin_);
    stdin_ = -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::optional<std::string> CoreRun::WaitForLine(const std::string& text, size_t skip,
                                                std::chrono::seconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        std::vector<std::string> lines = Journal();
        for (size_t i = skip; i < lines.size(); ++i) {
            if (lines[i].find(text) != std::string::npos) return lines[i];
        }
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;  // the core ended on its own
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> CoreRun::Journal() const {
    std::vector<std::string> lines;
    std::ifstream in(fs::path(dir_) / "peers.journal");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> CoreRun::Lines(const std::string& prefix) const {
    std::vector<std::string> lines;
    for (const std::string& line : Journal()) {
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
    }
    return lines;
}

std::string CoreRun::ReadFile(const std::string& relative) const {
    std::ifstream in(fs::path(dir_) / relative);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool CoreRun::Exists(const std::string& relative) const {
    return fs::exists(fs::path(dir_) / relative);
}

std::vector<std::string> CoreRun::Recordings() const {
    std::vector<std::string> found;
    fs::path root = RecordingsRoot();
    if (!fs::exists(root)) return found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && entry.path().extension() == ".ps") {
            found.push_back(fs::relative(entry.path(), root).string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string Field(const std::string& line, const std::string& key) {
    std::string marker = " " + key + "=";
    size_t at = line.find(marker);
    if (at == std::string::npos) return "";
    at += marker.size();
    size_t end = line.find(' ', at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string Capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

std::string LocalPathPrefix(int64_t start) {
    setenv("TZ", kTimeZone, 1);
    tzset();
    time_t t = static_cast<time_t>(start);
    struct tm local;
    localtime_r(&t, &local);
    char text[64];
    std::snprintf(text, sizeof(text), "%04d/%02d/%02d/%02d/%02d%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

}  // namespace kiv::e2e
