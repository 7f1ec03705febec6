// Transfer time of both passes (the verify and the program download of one image) with the
// dialog's handlers, on Qt's offscreen platform, against the command line's handlers, in one run.
// Each round serves the image twice over loopback to the simulator's TFTP client; the rounds
// alternate between the two handler sets. The figure is the ratio of the medians.
//
//   gui_handlers_bench [rounds]        (default 7)
#include "devsim/tftp_client.h"
#include "engine/events.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"
#include "ui/app.h"
#include "ui/main_dialog.h"

#include <QApplication>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Round {
    double transferMs = 0;  // first read request served until the worker's end
    double presentedMs = 0; // until the front end has shown the last event (the client dallies on)
    bool ok = false;
};

// Serves both passes on a fresh port while a client fetches twice; `pump` runs on the calling
// thread until `done` returns true (the GUI's event loop, or nothing).
template <typename Pump> Round ServeBothPasses(Pump pump) {
    Round r;
    std::promise<std::uint16_t> bound;
    TftpServerOptions options;
    options.port = 0;
    options.expectedClient = net::kLoopback;
    options.onBound = [&bound](std::uint16_t port) { bound.set_value(port); };
    std::atomic<bool> workerDone{false};
    const Clock::time_point start = Clock::now();
    Clock::time_point end;
    std::thread worker([&] {
        TftpServerThread(1, options);
        end = Clock::now();
        workerDone = true;
    });
    const std::uint16_t port = bound.get_future().get();
    std::atomic<bool> clientOk{true};
    std::thread client([&] {
        for (int pass = 0; pass < 2; ++pass) {
            devsim::FetchRequest request;
            request.localAddress = net::kLoopback;
            request.server = net::Endpoint{net::kLoopback, port};
            devsim::FetchResult got = devsim::FetchFile(request);
            if (!got.ok)
                clientOk = false;
        }
    });
    pump(workerDone);
    const Clock::time_point shown = Clock::now();
    worker.join();
    client.join();
    r.transferMs = std::chrono::duration<double, std::milli>(end - start).count();
    r.presentedMs = std::chrono::duration<double, std::milli>(shown - start).count();
    r.ok = clientOk;
    return r;
}

// The command line's part of an event: it is counted and passed on, as its presenter does.
std::atomic<int> g_cliEvents{0};
std::atomic<bool> g_cliComplete{false};
int CliStatus(int code, void*) {
    ++g_cliEvents;
    if (code == STATUS_COMPLETE)
        g_cliComplete = true;
    return 1;
}
int CliError(int, void*) {
    ++g_cliEvents;
    return 1;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    if (std::getenv("BENCH_TRACE") == nullptr)
        SetTraceSink([](std::string_view) {}); // the trace costs the same with either handler set
    SetImageToUse(SERVER_TOLVA_22XX);
    const int blocks = static_cast<int>(g_TftpConfigData.Tolva22Image.Size / 512 + 1);
    const int expectedEvents = 4 + 2 * blocks; // 2, 4..., 7, 3, 4..., 5

    std::vector<double> cli, gui, guiShown;
    for (int i = 0; i < rounds; ++i) {
        {
            g_cliComplete = false;
            RegisterTftpCallbacks(CheckFilename, ReadImageBlock, nullptr, CliError, CliStatus);
            Round r = ServeBothPasses([](std::atomic<bool>& done) {
                while (!done)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            });
            if (!r.ok || !g_cliComplete) {
                std::fprintf(stderr, "CLI round %d failed\n", i);
                return 1;
            }
            cli.push_back(r.transferMs);
        }
        {
            skelvo::ui::PrepareStartup();
            skelvo::ui::MainDialog dialog;
            dialog.show();
            QCoreApplication::processEvents();
            Round r = ServeBothPasses([&](std::atomic<bool>& done) {
                const Clock::time_point bound = Clock::now() + std::chrono::seconds(120);
                while ((!done || dialog.presentedEvents() < expectedEvents) && Clock::now() < bound) {
                    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
                    if (done && dialog.presentedEvents() < expectedEvents)
                        QThread::usleep(200);
                }
            });
            if (!r.ok || dialog.presentedEvents() != expectedEvents) {
                std::fprintf(stderr, "GUI round %d failed (%d of %d events shown)\n", i,
                             dialog.presentedEvents(), expectedEvents);
                return 1;
            }
            gui.push_back(r.transferMs);
            guiShown.push_back(r.presentedMs);
            g_TftpCallbacks.ErrorHandler = nullptr;
            g_TftpCallbacks.StatusHandler = nullptr;
        }
    }
    const double c = Median(cli), g = Median(gui), s = Median(guiShown);
    std::printf("image: %u bytes, %d blocks per pass, %d rounds each\n", g_TftpConfigData.Tolva22Image.Size,
                blocks, rounds);
    std::printf("cli handlers: both passes %.1f ms (median)\n", c);
    std::printf("gui handlers: both passes %.1f ms (median), last event shown after %.1f ms\n", g, s);
    std::printf("ratio gui/cli: %.3f (target <= 1.10)\n", c > 0 ? g / c : 0.0);
    return 0;
}
