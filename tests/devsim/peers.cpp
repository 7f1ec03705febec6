#include "tests/devsim/peers.h"

#include "tests/support/event_recorder.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace devsim_test {

using std::chrono::milliseconds;

Child::Child(const std::vector<std::string>& argv, const std::string& stdoutFile) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) == 0)
        m_pid = pid;
    posix_spawn_file_actions_destroy(&fa);
}

Child::~Child() {
    if (m_pid > 0 && !m_status)
        Terminate(milliseconds(5000));
}

Child::Child(Child&& other) noexcept : m_pid(other.m_pid), m_status(other.m_status) {
    other.m_pid = -1;
}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        if (m_pid > 0 && !m_status)
            Terminate(milliseconds(5000));
        m_pid = other.m_pid;
        m_status = other.m_status;
        other.m_pid = -1;
    }
    return *this;
}

bool Child::running() {
    return m_pid > 0 && !Wait(milliseconds(0));
}

std::optional<int> Child::Wait(milliseconds bound) {
    if (m_status || m_pid <= 0)
        return m_status;
    auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
        int st = 0;
        pid_t r = ::waitpid(m_pid, &st, WNOHANG);
        if (r == m_pid) {
            m_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return m_status;
        }
        if (std::chrono::steady_clock::now() >= end)
            return std::nullopt;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

std::optional<int> Child::Terminate(milliseconds bound) {
    if (m_pid <= 0 || m_status)
        return m_status;
    ::kill(m_pid, SIGTERM);
    if (auto st = Wait(bound))
        return st;
    ::kill(m_pid, SIGKILL);
    return Wait(milliseconds(5000));
}

bool WaitUdpPortTaken(std::uint16_t port, milliseconds bound) {
    auto end = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < end) {
        net::Socket s = net::Socket::Udp();
        if (!s.Bind(net::Endpoint{net::kLoopback, port}))
            return true;
        s.Close();
        std::this_thread::sleep_for(milliseconds(50));
    }
    return false;
}

ServeDir::ServeDir(const std::vector<std::uint8_t>& image, const std::string& name) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "skelvo-devsim-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) != nullptr) {
        m_path = tmpl;
        ::chmod(m_path.c_str(), 0755);
        std::string file = m_path + "/" + name;
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        ::chmod(file.c_str(), 0644);
    }
}

ServeDir::~ServeDir() {
    std::error_code ec;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ec);
}

namespace {

std::optional<Child> StartServer(std::vector<std::string> argv, std::uint16_t port, std::string* why) {
    if (::access(argv[0].c_str(), X_OK) != 0) {
        *why = argv[0] + " is not installed";
        return std::nullopt;
    }
    Child c(argv);
    if (c.pid() <= 0) {
        *why = "cannot start " + argv[0];
        return std::nullopt;
    }
    if (!WaitUdpPortTaken(port) || !c.running()) {
        *why = argv[0] + " did not come up on port " + std::to_string(port);
        return std::nullopt;
    }
    return c;
}

} // namespace

std::optional<Child> StartTftpdHpa(const std::string& dir, std::uint16_t port, std::string* why) {
    // -L: stay in the foreground; -a: address and port; -s: serve from (and chroot into) dir;
    // -T: first retransmission after 200 ms (in microseconds) instead of 1 s.
    return StartServer({"/usr/sbin/in.tftpd", "-L", "-a", "127.0.0.1:" + std::to_string(port), "-u", "nobody",
                        "-T", "200000", "-s", dir},
                       port, why);
}

std::string AtftpdPath() {
    for (const char* p :
         {"/opt/skelvo-peers/atftpd/usr/sbin/atftpd", "/opt/atftpd/usr/sbin/atftpd", "/usr/sbin/atftpd"})
        if (::access(p, X_OK) == 0)
            return p;
    return "";
}

std::optional<Child> StartAtftpd(const std::string& dir, std::uint16_t port, std::string* why) {
    std::string path = AtftpdPath();
    if (path.empty()) {
        *why = "atftpd is not installed";
        return std::nullopt;
    }
    return StartServer({path, "--daemon", "--no-fork", "--port", std::to_string(port), "--bind-address",
                        "127.0.0.1", "--user", "nobody.nogroup", "--retry-timeout", "1", "--logfile",
                        "/dev/null", dir},
                       port, why);
}

HttpExchange Exchange(net::Endpoint server, const std::string& request, milliseconds bound) {
    HttpExchange x;
    net::Socket s = net::Socket::Tcp();
    if (!s || !s.Connect(server))
        return x;
    x.connected = true;
    if (!request.empty())
        s.Send(request);
    auto end = std::chrono::steady_clock::now() + bound;
    std::uint8_t buf[16384];
    while (std::chrono::steady_clock::now() < end) {
        if (!s.WaitReadable(milliseconds(50)))
            continue;
        auto r = s.Recv(buf);
        if (r.status == net::RecvStatus::Data) {
            std::string chunk(reinterpret_cast<const char*>(buf), r.size);
            x.chunks.push_back(chunk);
            x.reply += chunk;
            continue;
        }
        if (r.status == net::RecvStatus::Closed)
            x.closed = true;
        else
            x.reset = r.error == ECONNRESET;
        return x;
    }
    x.timedOut = true;
    return x;
}

std::string Capture(const std::string& command, int* status) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int st = ::pclose(p);
    if (status != nullptr)
        *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

std::optional<net::Endpoint> WaitReadyFile(const std::string& path, milliseconds bound) {
    auto end = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < end) {
        std::string text = ReadText(path);
        std::size_t colon = text.find(':');
        if (colon != std::string::npos && text.back() == '\n') {
            auto ip = net::ParseIpv4(text.substr(0, colon));
            std::uint16_t port = 0;
            const char* first = text.data() + colon + 1;
            auto [end2, ec] = std::from_chars(first, text.data() + text.size() - 1, port);
            if (ip && ec == std::errc() && end2 == text.data() + text.size() - 1)
                return net::Endpoint{*ip, port};
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return std::nullopt;
}

std::vector<std::uint8_t> BuiltInImage(const std::string& name) {
    auto bytes = skelvo::test::ReadFileBytes(skelvo::test::ImagePath(name));
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

} // namespace devsim_test
