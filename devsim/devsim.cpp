#include "devsim/devsim.h"

#include "devsim/http_text.h"
#include "devsim/image_check.h"
#include "engine/sha256.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>
#include <utility>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace devsim {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr std::size_t kMaxRequest = 16384;

// SO_LINGER with a zero time makes close() send RST instead of FIN.
void ResetOnClose(net::Socket& s) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    ::setsockopt(s.native(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
}

const char* ReasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 408:
        return "Request Timeout";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Error";
    }
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        out << text;
        if (!out.flush())
            return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

} // namespace

struct Simulator::State {
    explicit State(Options options) : o(std::move(options)), rng(o.seed) {}

    Options o;
    Rng rng;
    std::atomic<bool> stop{false};

    mutable std::mutex mu;
    mutable std::condition_variable cv;
    net::Endpoint endpoint;
    bool listening = false;
    bool rebootRequested = false;
    bool upgrading = false;
    bool bricked = false; // no firmware: the web server is down and the boot loader asks for an image
    std::string version;
    Report report;
    bool started = false;
    bool stopped = false;

    std::mutex logMu;
    net::Socket listener; // the web server thread's own, once started
    std::thread web;
    std::thread upgrade;

    void Log(const std::string& line) {
        if (o.log) {
            o.log(line);
            return;
        }
        std::lock_guard<std::mutex> g(logMu);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    std::string DeviceStateLocked() const {
        if (bricked)
            return "bricked";
        if (rebootRequested)
            return "restarting";
        return upgrading ? "upgrading" : "running";
    }
    std::string ServerLineLocked() const { return std::string(ProductName(o.model)) + "/" + version; }
    std::string VersionText() const {
        std::lock_guard<std::mutex> g(mu);
        return version;
    }
    std::string ServerLine() const {
        std::lock_guard<std::mutex> g(mu);
        return ServerLineLocked();
    }

    // Sleeps up to `d`; false if the simulator is being stopped.
    bool Pause(milliseconds d) {
        std::unique_lock<std::mutex> lock(mu);
        return !cv.wait_for(lock, d, [&] { return stop.load(); });
    }

    bool Bind(std::string* error);
    void WebLoop();
    void Restart();
    void StayDown();
    void Serve(net::Socket c, net::Endpoint peer);
    void SendReply(net::Socket& c, int status, const std::string& body, bool head,
                   const std::vector<std::string>& extraHeaders);
    // A reply that never ends (the trickle faults): until the peer closes or the simulator stops.
    void SendEndless(net::Socket& c, std::chrono::milliseconds perByte);
    std::string Page(const std::string& title, const std::string& content) const;
    void LaunchUpgrade(std::size_t index);
    void RunUpgrade(std::size_t index);
    PassRecord Fetch(int pass, const UpgradeRecord& up);
    static void Event(UpgradeRecord& up, std::string what, std::string detail = "");
    void Brick(std::size_t index, UpgradeRecord& up);
    void BootLoader(std::size_t index, UpgradeRecord& up);
    void Publish(std::size_t index, const UpgradeRecord& record);
    void Finish(std::size_t index, UpgradeRecord& record);
    void WriteReport();
};

bool Simulator::State::Bind(std::string* error) {
    net::Socket s = net::Socket::Tcp();
    net::Endpoint want{o.address, endpoint.port != 0 ? endpoint.port : o.httpPort};
    if (!s || !s.SetReuseAddress() || !s.Bind(want) || !s.Listen(16)) {
        if (error != nullptr)
            *error =
                "cannot listen on " + want.ToString() + " [errno=" + std::to_string(net::LastError()) + "]";
        return false;
    }
    auto local = s.LocalEndpoint();
    {
        std::lock_guard<std::mutex> g(mu);
        endpoint = local.value_or(want);
        listening = true;
        listener = std::move(s);
    }
    cv.notify_all();
    return true;
}

void Simulator::State::WebLoop() {
    while (!stop) {
        bool reboot;
        bool down;
        {
            std::lock_guard<std::mutex> g(mu);
            reboot = rebootRequested;
            down = bricked;
        }
        if (down) {
            StayDown();
            continue;
        }
        if (reboot) {
            Restart();
            continue;
        }
        // Whoever changes what the loop looks at above also wakes it; the bound only covers a
        // platform on which that does not wake a listening socket's wait.
        if (!listener.WaitReadable(milliseconds(1000)))
            continue;
        net::Endpoint peer;
        net::Socket c = listener.Accept(&peer);
        if (c)
            Serve(std::move(c), peer);
    }
}

void Simulator::State::Restart() {
    {
        std::lock_guard<std::mutex> g(mu);
        listener.Close();
        listening = false;
    }
    cv.notify_all();
    Log("device restarting; unreachable for " + std::to_string(o.rebootTime.count()) + " ms");
    if (!Pause(o.rebootTime))
        return;
    std::string why;
    // The port was ours a moment ago; a few tries cover a slow release.
    for (int attempt = 0; attempt < 50 && !stop; ++attempt) {
        if (Bind(&why))
            break;
        Pause(milliseconds(100));
    }
    std::lock_guard<std::mutex> g(mu);
    rebootRequested = false;
    if (listening)
        Log("listening on " + endpoint.ToString());
    else
        Log("restart failed: " + why);
    cv.notify_all();
}

// With no firmware to run there is no web server: connections are refused until the boot loader
// has programmed an image.
void Simulator::State::StayDown() {
    {
        std::lock_guard<std::mutex> g(mu);
        listener.Close();
        listening = false;
    }
    cv.notify_all();
    Log("web server down: no firmware to run");
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return stop.load() || !bricked; });
}

std::string Simulator::State::Page(const std::string& title, const std::string& content) const {
    std::string body = "<html>\r\n<head><title>" + title + "</title></head>\r\n<body>\r\n" + content;
    if (o.faults.serverInBody)
        body += "<p>Server: Dravenholt II compatible management</p>\r\n";
    body += "</body>\r\n</html>\r\n";
    return body;
}

void Simulator::State::SendReply(net::Socket& c, int status, const std::string& body, bool head,
                                 const std::vector<std::string>& extraHeaders) {
    const Faults& f = o.faults;
    std::string server = ServerLine();
    std::string text = "HTTP/1.0 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
    text += "Date: " + HttpDate() + "\r\n";
    std::size_t serverAt = std::string::npos;
    if (!f.noServerHeader) {
        serverAt = text.size();
        text += (f.lowercaseServerHeader ? "server: " : "Server: ") + server + "\r\n";
    }
    for (const auto& h : extraHeaders)
        text += h + "\r\n";
    text += "Content-Type: text/html\r\n";
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    text += "Connection: close\r\n\r\n";
    if (!head)
        text += body;

    if (f.slow.count() > 0 && !Pause(f.slow))
        return;
    std::string_view rest = text;
    if (f.splitServerHeader && serverAt != std::string::npos) {
        // Split inside the product name ("Server: Tol" | "va 2100/..."), so neither segment
        // holds the whole header text.
        std::size_t cut = serverAt + 8 + 3;
        c.Send(rest.substr(0, cut));
        rest.remove_prefix(cut);
        if (!Pause(milliseconds(100)))
            return;
    }
    if (f.slow.count() > 0) {
        while (!rest.empty()) {
            std::size_t n = std::min<std::size_t>(rest.size(), 32);
            if (c.Send(rest.substr(0, n)) < 0)
                return;
            rest.remove_prefix(n);
            if (!Pause(milliseconds(20)))
                return;
        }
        return;
    }
    while (!rest.empty()) {
        long n = c.Send(rest);
        if (n <= 0)
            return;
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}

void Simulator::State::SendEndless(net::Socket& c, milliseconds perByte) {
    // A send must not block the stop when the peer no longer reads.
    c.SetSendTimeout(milliseconds(200));
    const std::string head = "HTTP/1.0 200 OK\r\n";
    if (c.Send(head) < 0)
        return;
    std::uint8_t scratch[512];
    for (unsigned long line = 0; !stop; ++line) {
        if (c.WaitReadable(milliseconds(0)) && c.Recv(scratch).status != net::RecvStatus::Data)
            return; // the peer has gone
        if (perByte.count() > 0) {
            if (c.Send(std::string_view("X")) < 0 || !Pause(perByte))
                return;
            continue;
        }
        std::string lines;
        for (int i = 0; i < 64; ++i, ++line)
            // What a serial tunnel passes on: text with the terminal's control bytes among it.
            lines += "X-Serial-Line-" + std::to_string(line) + ": \x1b[2J\x1b]0;tty\x07 0123456789abcdef\r\n";
        if (c.Send(lines) < 0 || !Pause(milliseconds(1)))
            return;
    }
}

void Simulator::State::Serve(net::Socket c, net::Endpoint peer) {
    RequestRecord rec;
    rec.peer = peer.ToString();
    std::string bytes;
    std::size_t headEnd = std::string::npos;
    auto deadline = Clock::now() + o.requestTimeout;
    std::uint8_t buf[4096];
    bool closed = false;
    while (!stop && headEnd == std::string::npos && bytes.size() < kMaxRequest && Clock::now() < deadline) {
        if (!c.WaitReadable(milliseconds(100)))
            continue;
        auto r = c.Recv(buf);
        if (r.status != net::RecvStatus::Data) {
            closed = true;
            break;
        }
        bytes.append(reinterpret_cast<const char*>(buf), r.size);
        headEnd = HeadEnd(bytes);
    }
    rec.bytes = bytes;
    auto record = [&](int status) {
        rec.status = status;
        std::lock_guard<std::mutex> g(mu);
        report.requests.push_back(rec);
    };

    if (o.faults.silent) {
        Log("http: " + rec.peer + " connected; staying silent (fault)");
        while (!stop && !closed) {
            if (!c.WaitReadable(milliseconds(100)))
                continue;
            auto r = c.Recv(buf);
            closed = r.status != net::RecvStatus::Data;
        }
        record(0);
        return;
    }
    if (headEnd != std::string::npos && (o.faults.trickle.count() > 0 || o.faults.endlessHeader)) {
        Log("http: " + rec.peer + " answered with a header that never ends (fault)");
        SendEndless(c, o.faults.trickle);
        record(0);
        return;
    }
    if (headEnd != std::string::npos && o.faults.trickleCommand.count() > 0 &&
        bytes.compare(0, 12, "GET /config?") == 0) {
        Log("http: " + rec.peer + " upgrade command answered with a reply that never ends (fault)");
        SendEndless(c, o.faults.trickleCommand);
        record(0);
        return;
    }
    if (headEnd == std::string::npos) {
        Log("http: " + rec.peer + " sent no complete request (" + std::to_string(bytes.size()) + " bytes)");
        if (!closed && bytes.size() >= kMaxRequest)
            SendReply(c, 400, Page("400 Bad Request", "<h1>Bad Request</h1>\r\n"), false, {});
        record(closed ? 0 : 400);
        return;
    }
    auto req = ParseRequest(std::string_view(bytes).substr(0, headEnd));
    if (!req) {
        SendReply(c, 400, Page("400 Bad Request", "<h1>Bad Request</h1>\r\n"), false, {});
        record(400);
        Log("http: " + rec.peer + " malformed request -> 400");
        return;
    }
    rec.method = req->method;
    rec.target = req->target;
    bool head = req->method == "HEAD";
    std::string product = ProductName(o.model);
    int status = 0;
    std::optional<std::size_t> startUpgrade;

    if (req->method != "GET" && !head) {
        status = 501;
        SendReply(c, status, Page("501 Not Implemented", "<h1>Not Implemented</h1>\r\n"), false, {});
    } else if (req->path == "/" || req->path == "/index.html") {
        status = 200;
        std::string content = "<h1>" + product + " Device Server</h1>\r\n<p>Firmware version " +
                              VersionText() + "</p>\r\n<p><a href=\"/config\">Configuration</a></p>\r\n";
        SendReply(c, status, Page(product, content), head, {});
    } else if (req->path == "/config") {
        std::optional<std::string> creds;
        if (auto a = req->Header("authorization"))
            creds = BasicCredentials(*a);
        if (creds) {
            std::size_t colon = creds->find(':');
            rec.login = creds->substr(0, colon);
        }
        bool good = creds && *creds == o.login + ":" + o.password && !o.faults.refuseLogin;
        rec.credentialsAccepted = good;
        auto file = QueryValue(req->query, "if");
        auto ih = QueryValue(req->query, "ih");
        auto target = ih ? net::ParseIpv4(*ih) : std::nullopt;
        bool trace = QueryValue(req->query, "id").value_or("") == "1";
        bool valid = file && !file->empty() && target;
        bool busy;
        {
            std::lock_guard<std::mutex> g(mu);
            busy = upgrading;
        }
        const int refusal = o.faults.commandStatus;
        if (good && valid && !busy && refusal == 0) {
            UpgradeRecord up;
            up.tftpServer = net::Endpoint{*target, o.tftpPort}.ToString();
            up.file = *file;
            up.trace = trace;
            up.commanded = Clock::now();
            Event(up, "command", "fetch \"" + up.file + "\" from " + up.tftpServer);
            std::lock_guard<std::mutex> g(mu);
            up.versionBefore = version;
            upgrading = true;
            report.upgrades.push_back(up);
            startUpgrade = report.upgrades.size() - 1;
        }
        if (o.faults.resetAfterCommand) {
            if (startUpgrade && o.faults.resetAfterCommandDelay.count() > 0) {
                LaunchUpgrade(*std::exchange(startUpgrade, std::nullopt));
                Pause(o.faults.resetAfterCommandDelay);
            }
            ResetOnClose(c);
            status = 0;
            Log("http: " + rec.peer + " " + req->method + " " + req->target + " -> connection reset (fault)");
        } else if (!good) {
            status = 401;
            SendReply(c, status,
                      Page("401 Unauthorized", "<h1>Unauthorized</h1>\r\n<p>A valid login and password are "
                                               "required to change the configuration.</p>\r\n"),
                      head, {"WWW-Authenticate: Basic realm=\"" + product + "\""});
        } else if (!valid) {
            status = 400;
            SendReply(c, status,
                      Page("400 Bad Request",
                           "<h1>Bad Request</h1>\r\n<p>Expected if=FILE&amp;ih=ADDRESS.</p>\r\n"),
                      head, {});
        } else if (refusal != 0) {
            status = refusal;
            std::string title = std::to_string(status) + " " + ReasonPhrase(status);
            SendReply(
                c, status,
                Page(title, "<h1>" + title + "</h1>\r\n<p>The upgrade command was not carried out.</p>\r\n"),
                head, {});
            Log("fault: the command was answered with " + std::to_string(status) + " and not carried out");
        } else if (busy) {
            status = 503;
            SendReply(c, status, Page("503 Service Unavailable", "<h1>Upgrade in progress</h1>\r\n"), head,
                      {});
        } else {
            status = 200;
            SendReply(c, status,
                      Page(product, "<h1>Firmware upgrade</h1>\r\n<p>Loading " + *file + " from " +
                                        target->ToString() + ".</p>\r\n"),
                      head, {});
            // A device that asks once asks at once: its request may reach the server before the
            // command's connection has closed.
            if (startUpgrade && (o.faults.requestOnce & 1u) != 0)
                LaunchUpgrade(*std::exchange(startUpgrade, std::nullopt));
        }
    } else {
        status = 404;
        SendReply(c, status, Page("404 Not Found", "<h1>Not Found</h1>\r\n"), head, {});
    }
    if (status != 0)
        Log("http: " + rec.peer + " " + req->method + " " + req->target + " -> " + std::to_string(status) +
            (rec.credentialsAccepted
                 ? (*rec.credentialsAccepted ? " (credentials accepted)" : " (credentials refused)")
                 : ""));
    record(status);
    // Unread bytes at close() would turn the FIN into a RST.
    while (c.BytesAvailable() > 0 && c.Recv(buf).status == net::RecvStatus::Data) {
    }
    c.Close();
    if (startUpgrade)
        LaunchUpgrade(*startUpgrade);
}

void Simulator::State::LaunchUpgrade(std::size_t index) {
    if (upgrade.joinable())
        upgrade.join();
    upgrade = std::thread([this, index] { RunUpgrade(index); });
}

PassRecord Simulator::State::Fetch(int pass, const UpgradeRecord& up) {
    const Faults& f = o.faults;
    // A boot loader download meets the same network as the program download (its loss and ACK
    // delay), but none of the one-off faults, so a device stranded by one can be rescued.
    const bool bootLoader = pass == 3;
    const unsigned bit = pass == 1 ? 1u : 2u;
    FetchRequest rq;
    rq.localAddress = o.address;
    rq.server = net::Endpoint{*net::ParseIpv4(up.tftpServer.substr(0, up.tftpServer.find(':'))), o.tftpPort};
    rq.file = bootLoader ? "image" : up.file;
    rq.options = o.tftp;
    rq.giveUpUnanswered = bootLoader;
    if (f.dropData.passes & bit)
        rq.faults.dropData = f.dropData.fraction;
    if (f.dropAck.passes & bit)
        rq.faults.dropAck = f.dropAck.fraction;
    if (f.ackDelayPasses & bit)
        rq.faults.ackDelay = f.ackDelay;
    if (!bootLoader) {
        if (f.duplicateAck.passes & bit)
            rq.faults.duplicateAck = f.duplicateAck.block;
        if (f.wrongAck.passes & bit)
            rq.faults.wrongAck = f.wrongAck.block;
        if (f.errorMidTransfer.passes & bit)
            rq.faults.errorAfter = f.errorMidTransfer.block;
        rq.faults.dropFinalAck = (f.dropFinalAck & bit) != 0;
        rq.faults.requestOnce = (f.requestOnce & bit) != 0;
        if (f.lateFinalAck.passes & bit)
            rq.faults.lateFinalAck = f.lateFinalAck.delay;
    }
    rq.rng = &rng;
    rq.traceBlocks = up.trace;
    rq.log = [this](std::string_view line) { Log(std::string(line)); };
    rq.stop = &stop;
    rq.hub = o.tftpHub;
    FetchResult r = FetchFile(rq);

    PassRecord p;
    p.pass = pass;
    p.complete = r.ok;
    p.answered = r.answered;
    p.error = r.error;
    p.sha256 = Sha256::HexOf(r.data);
    p.data = std::move(r.data);
    p.server = r.peer.port != 0 ? r.peer.ToString() : "";
    p.blocks = r.blocks;
    p.requestsSent = r.requestsSent;
    p.acksSent = r.acksSent;
    p.timeouts = r.timeouts;
    p.duplicateBlocks = r.duplicateBlocks;
    p.droppedData = r.droppedData;
    p.droppedAcks = r.droppedAcks;
    p.strangers = r.strangers;
    p.elapsed = r.elapsed;
    if (!bootLoader || p.answered)
        Log((bootLoader ? std::string("bootloader: download ") : "download " + std::to_string(pass) + ": ") +
            (p.complete ? "complete" : "failed") + ", " + std::to_string(p.data.size()) + " bytes in " +
            std::to_string(p.elapsed.count()) + " ms, sha256 " + p.sha256);
    return p;
}

void Simulator::State::Event(UpgradeRecord& up, std::string what, std::string detail) {
    auto at = std::chrono::duration_cast<milliseconds>(Clock::now() - up.commanded);
    up.events.push_back(EventRecord{at, std::move(what), std::move(detail)});
}

void Simulator::State::RunUpgrade(std::size_t index) {
    UpgradeRecord up;
    {
        std::lock_guard<std::mutex> g(mu);
        up = report.upgrades[index];
    }
    Log("upgrade: fetching \"" + up.file + "\" from " + up.tftpServer +
        (up.trace ? " with download trace" : ""));

    up.passes.push_back(Fetch(1, up));
    const PassRecord& first = up.passes.back();
    if (!first.complete) {
        up.outcome = "verify download failed: " + first.error;
        up.state = "intact";
        Event(up, "verify download failed", first.error);
        return Finish(index, up);
    }
    Event(up, "verify download complete", std::to_string(first.data.size()) + " bytes");
    ImageTrailer trailer = ReadTrailer(first.data);
    up.imageFamily = trailer.family;
    up.imageVersion = trailer.version;
    auto families = AcceptedFamilies(o.model);
    Verdict verdict = CheckImage(trailer, families, o.acceptAnyImage);
    up.verified = verdict.accepted;
    up.verification = verdict.reason;
    Log(std::string("verify: ") + (verdict.accepted ? "passed: " : "rejected: ") + verdict.reason);
    if (!verdict.accepted) {
        // The flash is untouched: the old firmware goes on answering, and no second request follows.
        up.outcome = "rejected: " + verdict.reason;
        up.state = "intact";
        Event(up, "rejected", verdict.reason);
        return Finish(index, up);
    }
    Event(up, "verified", verdict.reason);

    Log("erasing flash (" + std::to_string(o.eraseTime.count()) + " ms)");
    if (!Pause(o.eraseTime)) {
        up.outcome = "stopped while erasing";
        up.state = "intact";
        return Finish(index, up);
    }
    up.erased = true;
    Event(up, "erased");
    if (o.faults.noSecondRequest) {
        Log("fault: no second read request");
        up.outcome = "second request withheld (fault)";
        up.state = "erased";
        return Finish(index, up);
    }

    up.passes.push_back(Fetch(2, up));
    const PassRecord& second = up.passes.back();
    if (!second.complete) {
        Log("program: download failed; flash left erased, the device has no firmware to start");
        up.outcome = "program download failed: " + second.error;
        Event(up, "program download failed", second.error);
        return Brick(index, up);
    }
    up.identical = second.data == up.passes.front().data;
    if (!up.identical) {
        Log("program: the second download differs from the first; flash left erased");
        up.outcome = "downloads differ";
        Event(up, "downloads differ");
        return Brick(index, up);
    }
    up.programmed = true;
    {
        std::lock_guard<std::mutex> g(mu);
        // An image without a trailer names no version; the device keeps showing the old one.
        if (trailer.present && !trailer.version.empty())
            version = DottedVersion(trailer.version);
        up.versionAfter = version;
        rebootRequested = true;
        listener.Shutdown(); // wakes the web server thread
    }
    cv.notify_all();
    Log("programmed " + std::to_string(second.data.size()) + " bytes; new version " + up.versionAfter);
    Event(up, "programmed", "version " + up.versionAfter);
    {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return stop.load() || !rebootRequested; });
    }
    up.outcome = "programmed";
    up.state = "programmed";
    Event(up, "restarted");
    Finish(index, up);
}

// The flash is erased and holds nothing to start: the web server goes down before the record
// says so, then the boot loader takes over.
void Simulator::State::Brick(std::size_t index, UpgradeRecord& up) {
    up.state = "bricked";
    Event(up, "bricked",
          "the boot loader asks " + up.tftpServer + " for \"image\" every " +
              std::to_string(o.bootLoaderRetry.count()) + " ms");
    {
        std::unique_lock<std::mutex> lock(mu);
        bricked = true;
        listener.Shutdown(); // wakes the web server thread
        cv.notify_all();
        cv.wait(lock, [&] { return stop.load() || !listening; });
    }
    Finish(index, up);
    BootLoader(index, up);
}

void Simulator::State::BootLoader(std::size_t index, UpgradeRecord& up) {
    Log("bootloader: no firmware; asking " + up.tftpServer + " for \"image\" every " +
        std::to_string(o.bootLoaderRetry.count()) + " ms");
    const auto families = AcceptedFamilies(o.model);
    while (!stop) {
        const auto asked = Clock::now();
        PassRecord p = Fetch(3, up);
        up.bootLoaderRequests += p.requestsSent;
        if (p.answered) {
            const bool complete = p.complete;
            const std::string error = p.error;
            ImageTrailer trailer = ReadTrailer(p.data);
            up.passes.push_back(std::move(p));
            if (!complete) {
                Event(up, "boot loader download failed", error);
            } else if (Verdict v = CheckImage(trailer, families, o.acceptAnyImage); !v.accepted) {
                Log("bootloader: image rejected: " + v.reason);
                Event(up, "boot loader rejected", v.reason);
            } else {
                std::string now;
                {
                    std::lock_guard<std::mutex> g(mu);
                    if (trailer.present && !trailer.version.empty())
                        version = DottedVersion(trailer.version);
                    now = version;
                    bricked = false;
                    rebootRequested = true;
                }
                cv.notify_all();
                Log("bootloader: programmed " + std::to_string(up.passes.back().data.size()) +
                    " bytes; version " + now);
                Event(up, "boot loader programmed", "version " + now);
                Publish(index, up);
                {
                    std::unique_lock<std::mutex> lock(mu);
                    cv.wait(lock, [&] { return stop.load() || !rebootRequested; });
                }
                if (stop)
                    return;
                up.programmed = true;
                up.rescued = true;
                up.state = "rescued";
                up.versionAfter = now;
                Event(up, "rescued", "version " + now);
                Log("bootloader: rescued; version " + now);
                Publish(index, up);
                return;
            }
        }
        Publish(index, up);
        auto left = std::chrono::ceil<milliseconds>(asked + o.bootLoaderRetry - Clock::now());
        if (left.count() > 0 && !Pause(left))
            return;
    }
}

void Simulator::State::Publish(std::size_t index, const UpgradeRecord& record) {
    {
        std::lock_guard<std::mutex> g(mu);
        report.upgrades[index] = record;
    }
    cv.notify_all();
    WriteReport();
}

void Simulator::State::Finish(std::size_t index, UpgradeRecord& record) {
    if (record.versionAfter.empty())
        record.versionAfter = VersionText();
    Log("upgrade: " + record.outcome);
    {
        std::lock_guard<std::mutex> g(mu);
        report.upgrades[index] = record;
        upgrading = false;
    }
    cv.notify_all();
    WriteReport();
}

void Simulator::State::WriteReport() {
    if (o.reportChanged)
        o.reportChanged();
    if (o.reportFile.empty())
        return;
    Report copy;
    {
        std::lock_guard<std::mutex> g(mu);
        copy = report;
        copy.currentVersion = version;
        copy.deviceState = DeviceStateLocked();
    }
    if (!WriteFileAtomically(o.reportFile, ReportJson(copy)))
        Log("cannot write the report to " + o.reportFile);
}

namespace {

using Json = nlohmann::ordered_json;

// A value as JSON text. A peer's bytes need not be UTF-8: what is not becomes U+FFFD.
std::string Dump(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The members of an object on one line: "a": 1, "b": "x".
std::string Members(const Json& object) {
    std::string out;
    for (const auto& [key, value] : object.items())
        out += (out.empty() ? "" : ", ") + Dump(key) + ": " + Dump(value);
    return out;
}

// An array of objects, one a line, one level deeper than indent.
std::string Lines(const std::vector<Json>& objects, const std::string& indent) {
    if (objects.empty())
        return "[]";
    std::string out = "[";
    for (std::size_t i = 0; i < objects.size(); ++i)
        out += (i ? ",\n" : "\n") + indent + "  {" + Members(objects[i]) + "}";
    return out + "\n" + indent + "]";
}

std::string UpgradeJson(const UpgradeRecord& u) {
    std::vector<Json> passes;
    for (const auto& p : u.passes)
        passes.push_back({{"pass", p.pass},
                          {"complete", p.complete},
                          {"bytes", p.data.size()},
                          {"sha256", p.sha256},
                          {"blocks", p.blocks},
                          {"server", p.server},
                          {"requests_sent", p.requestsSent},
                          {"acks_sent", p.acksSent},
                          {"timeouts", p.timeouts},
                          {"duplicate_blocks", p.duplicateBlocks},
                          {"dropped_data", p.droppedData},
                          {"dropped_acks", p.droppedAcks},
                          {"strangers", p.strangers},
                          {"elapsed_ms", p.elapsed.count()},
                          {"error", p.error}});
    std::vector<Json> events;
    for (const auto& e : u.events)
        events.push_back({{"ms", e.at.count()}, {"event", e.what}, {"detail", e.detail}});
    const std::string in = "      ";
    std::string j = "    {\n";
    j += in + Members({{"tftp_server", u.tftpServer}, {"file", u.file}, {"download_trace", u.trace}}) + ",\n";
    j += in + "\"passes\": " + Lines(passes, in) + ",\n";
    j += in +
         Members({{"verified", u.verified},
                  {"verification", u.verification},
                  {"image_family", u.imageFamily},
                  {"image_version", u.imageVersion}}) +
         ",\n";
    j += in +
         Members({{"identical", u.identical},
                  {"erased", u.erased},
                  {"programmed", u.programmed},
                  {"succeeded", u.succeeded()}}) +
         ",\n";
    j += in +
         Members({{"version_before", u.versionBefore},
                  {"version_after", u.versionAfter},
                  {"outcome", u.outcome}}) +
         ",\n";
    j +=
        in +
        Members({{"state", u.state}, {"rescued", u.rescued}, {"bootloader_requests", u.bootLoaderRequests}}) +
        ",\n";
    j += in + "\"events\": " + Lines(events, in) + "\n";
    return j + "    }";
}

} // namespace

std::string ReportJson(const Report& r) {
    std::vector<Json> requests;
    for (const auto& q : r.requests) {
        Json request = {{"peer", q.peer},
                        {"method", q.method},
                        {"target", q.target},
                        {"status", q.status},
                        {"length", q.bytes.size()}};
        if (q.credentialsAccepted) {
            request["login"] = q.login;
            request["credentials_accepted"] = *q.credentialsAccepted;
        }
        request["bytes"] = RedactCredentials(q.bytes);
        requests.push_back(std::move(request));
    }
    std::string j = "{\n";
    for (const auto& line :
         {Json{{"model", r.model}}, Json{{"initial_version", r.initialVersion}},
          Json{{"final_version", r.currentVersion}}, Json{{"device_state", r.deviceState}}})
        j += "  " + Members(line) + ",\n";
    j += "  \"requests\": " + Lines(requests, "  ") + ",\n";
    j += "  \"upgrades\": [";
    for (std::size_t i = 0; i < r.upgrades.size(); ++i)
        j += (i ? ",\n" : "\n") + UpgradeJson(r.upgrades[i]);
    j += r.upgrades.empty() ? "]\n" : "\n  ]\n";
    return j + "}\n";
}

Simulator::Simulator(Options options) : m(std::make_unique<State>(std::move(options))) {
    m->version = m->o.firmware.empty() ? DefaultFirmware(m->o.model) : m->o.firmware;
    m->report.model = ModelName(m->o.model);
    m->report.initialVersion = m->version;
}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(std::string* error) {
    {
        std::lock_guard<std::mutex> g(m->mu);
        if (m->started) {
            if (error != nullptr)
                *error = "already started";
            return false;
        }
        m->started = true;
    }
    if (!m->Bind(error))
        return false;
    net::Endpoint ep = HttpEndpoint();
    m->Log(std::string(ProductName(m->o.model)) + " simulator, firmware " + m->VersionText());
    m->Log("listening on " + ep.ToString());
    if (!m->o.readyFile.empty() && !WriteFileAtomically(m->o.readyFile, ep.ToString() + "\n")) {
        if (error != nullptr)
            *error = "cannot write " + m->o.readyFile;
        std::lock_guard<std::mutex> g(m->mu);
        m->listener.Close();
        m->listening = false;
        return false;
    }
    m->web = std::thread([this] { m->WebLoop(); });
    return true;
}

net::Endpoint Simulator::HttpEndpoint() const {
    std::lock_guard<std::mutex> g(m->mu);
    return m->endpoint;
}

bool Simulator::WaitListening(std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(m->mu);
    return m->cv.wait_for(lock, bound, [&] { return m->listening && !m->rebootRequested; });
}

std::optional<UpgradeRecord> Simulator::WaitForUpgrade(std::chrono::milliseconds bound,
                                                       std::size_t index) const {
    std::unique_lock<std::mutex> lock(m->mu);
    bool ended = m->cv.wait_for(lock, bound, [&] {
        return m->report.upgrades.size() > index && !(index + 1 == m->report.upgrades.size() && m->upgrading);
    });
    if (!ended)
        return std::nullopt;
    return m->report.upgrades[index];
}

std::optional<UpgradeRecord> Simulator::WaitForRescue(std::chrono::milliseconds bound,
                                                      std::size_t index) const {
    std::unique_lock<std::mutex> lock(m->mu);
    bool rescued = m->cv.wait_for(lock, bound, [&] {
        return m->report.upgrades.size() > index && m->report.upgrades[index].state == "rescued";
    });
    if (!rescued)
        return std::nullopt;
    return m->report.upgrades[index];
}

std::string Simulator::DeviceState() const {
    std::lock_guard<std::mutex> g(m->mu);
    return m->DeviceStateLocked();
}

std::string Simulator::CurrentVersion() const {
    return m->VersionText();
}

std::string Simulator::ServerLine() const {
    return m->ServerLine();
}

Report Simulator::GetReport() const {
    std::lock_guard<std::mutex> g(m->mu);
    Report r = m->report;
    r.currentVersion = m->version;
    r.deviceState = m->DeviceStateLocked();
    return r;
}

void Simulator::Stop() {
    {
        std::lock_guard<std::mutex> g(m->mu);
        if (!m->started || m->stopped)
            return;
        m->stopped = true;
        m->stop = true;
        m->listener.Shutdown(); // wakes the web server thread
    }
    m->cv.notify_all();
    if (m->web.joinable())
        m->web.join();
    if (m->upgrade.joinable())
        m->upgrade.join();
    {
        std::lock_guard<std::mutex> g(m->mu);
        m->listener.Close();
        m->listening = false;
    }
    m->WriteReport();
}

} // namespace devsim
