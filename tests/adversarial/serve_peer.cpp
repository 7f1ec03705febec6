#include "tests/adversarial/serve_peer.h"

#include "tests/support/event_recorder.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace adversarial {
namespace {

std::string MakeTempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "skelvo-adv-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr)
        return {};
    return templ;
}

} // namespace

Bytes B(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

ServeProcess::ServeProcess(const std::vector<std::string>& args) {
    m_dir = MakeTempDir();
    std::vector<std::string> argv{std::string(SKELVO_BINARY_DIR) + "/cli/skelvo-cli", "serve", "--port", "0",
                                  "--trace"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv)
        raw.push_back(a.data());
    raw.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (m_dir + "/trace").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, (m_dir + "/errors").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ) == 0)
        m_pid = pid;
    posix_spawn_file_actions_destroy(&actions);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (m_pid > 0 && std::chrono::steady_clock::now() < deadline) {
        std::string errors = Errors();
        std::size_t at = errors.find("on UDP port ");
        if (at != std::string::npos && errors.find(';', at) != std::string::npos) {
            m_port = static_cast<std::uint16_t>(std::atoi(errors.c_str() + at + 12));
            break;
        }
        if (Wait(std::chrono::milliseconds(0)))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

ServeProcess::~ServeProcess() {
    if (m_pid > 0 && !m_status) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    if (!m_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
}

std::optional<int> ServeProcess::Wait(std::chrono::milliseconds bound) {
    if (m_status || m_pid <= 0)
        return m_status;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_status;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string ServeProcess::Trace() const {
    return skelvo::test::ReadText(m_dir + "/trace");
}

std::string ServeProcess::Errors() const {
    return skelvo::test::ReadText(m_dir + "/errors");
}

ImageFile::ImageFile(std::size_t size, unsigned seed) {
    m_dir = MakeTempDir();
    m_path = m_dir + "/image.bin";
    auto pattern = skelvo::test::PatternBytes(size, seed);
    m_bytes.assign(pattern.begin(), pattern.end());
    std::ofstream out(m_path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(m_bytes.data()), static_cast<std::streamsize>(m_bytes.size()));
}

ImageFile::~ImageFile() {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

RawClient::RawClient(net::Ipv4 address) : m_socket(net::Socket::Udp()) {
    EXPECT_TRUE(m_socket.Bind({address, 0})) << "bind " << address.ToString();
}

void RawClient::Send(const Bytes& datagram, net::Endpoint to) {
    EXPECT_EQ(m_socket.SendTo(datagram, to), static_cast<long>(datagram.size()));
}

std::optional<Bytes> RawClient::Receive(std::chrono::milliseconds bound, net::Endpoint* from) {
    Bytes buffer(65536);
    net::RecvResult r = m_socket.RecvFromFor(buffer, bound);
    if (r.status != net::RecvStatus::Data)
        return std::nullopt;
    buffer.resize(r.size);
    if (from != nullptr)
        *from = r.from;
    return buffer;
}

std::optional<Bytes> RawClient::Download(net::Endpoint server, std::string_view request,
                                         std::chrono::milliseconds perBlock) {
    Send(B(request), server);
    Bytes out;
    for (unsigned expected = 1;; ++expected) {
        net::Endpoint from;
        auto packet = Receive(perBlock, &from);
        if (!packet || Opcode(*packet) != 3 || BlockOf(*packet) != (expected & 0xFFFF))
            return std::nullopt;
        out.insert(out.end(), packet->begin() + 4, packet->end());
        Send(Ack(expected), from);
        if (packet->size() < 516)
            return out;
    }
}

Bytes Rrq(std::string_view name, std::string_view mode, std::string_view rest) {
    Bytes b{0, 1};
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(0);
    b.insert(b.end(), mode.begin(), mode.end());
    b.push_back(0);
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
}

Bytes Ack(unsigned block) {
    return Bytes{0, 4, static_cast<std::uint8_t>((block >> 8) & 0xFF),
                 static_cast<std::uint8_t>(block & 0xFF)};
}

unsigned Opcode(const Bytes& packet) {
    return packet.size() < 2 ? 0u : (static_cast<unsigned>(packet[0]) << 8) | packet[1];
}

unsigned BlockOf(const Bytes& packet) {
    return packet.size() < 4 ? 0u : (static_cast<unsigned>(packet[2]) << 8) | packet[3];
}

bool PortReleased(std::uint16_t port) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        net::Socket probe = net::Socket::Udp();
        if (probe.Bind({net::kAnyAddress, port}))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

} // namespace adversarial
