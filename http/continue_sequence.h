// The Continue sequence: everything between the user's Continue and the start of the TFTP worker,
// shared by every front end (the command line and the dialog call the same code).
//
//   1. OpenTftpSocket(options.tftp): the port is held from here on
//                                             -> PortUnavailable (its event was raised)
//   2. the typed fields go into g_TftpConfigData, traced with the password masked
//   3. unless ImageToUse is SERVER_USER_FILE: DetectServerType, ImageToUse set from it
//                                             -> UnknownServer ("Error getting server type.")
//   4. ConfirmUpgrade: the question is composed here and asked through the front end's callback
//                                             -> NotConfirmed (ImageToUse becomes SERVER_UNKNOWN)
//                                             -> DryRun when request.dryRun (nothing is asked)
//   5. the upgrade command (SendFlashUpgradeCommand); its result and the reply's status line are
//      kept but do not stop the sequence
//   6. the worker TftpServerThread(1, ...) starts on the socket of step 1, expecting the device's
//      address as its client
//                                             -> WorkerStarted
//
// request.cancelled, when given, is asked before steps 3 and 4, each of which talks to the device,
// and after the answer of step 4, just before the command; once it returns true the sequence ends
// with Cancelled and sends the device nothing more.
//
// Everything up to step 6 runs on the calling thread, blocking it, and raises its events there
// through the registered handler table. From step 6 on, the worker raises its events on its own
// thread; a front end learns the worker's end from STATUS_COMPLETE or an error event. Only one
// sequence runs at a time (the record and the handler table are process-wide).
#pragma once

#include "http/device_http.h"
#include "tftp/tftp_server.h"

#include <functional>
#include <optional>
#include <string>
#include <thread>

enum class ConfirmAnswer { Yes, No, Cancel };

inline constexpr char kConfirmTitle[] = "Flash Upgrade Confirmation";
inline constexpr char kUserFileVersion[] = "(Using-File...No Version Info)";

// What ConfirmUpgrade asks: a Yes/No/Cancel question with the warning icon, Cancel the default.
struct ConfirmQuestion {
    std::string title;                // kConfirmTitle
    std::string text;                 // the whole question, exactly as it is to be shown
    std::string host;                 // the host as typed
    std::string currentVersion;       // the device's version as reported, or "Not-Known"
    std::string newVersion;           // display form of the new image's version ("1.0.9", "Error", ...)
    std::optional<net::Ipv4> reached; // the device's address as the version query reached it
};

// Called on the thread that runs the sequence; returns the user's answer.
using ConfirmFn = std::function<ConfirmAnswer(const ConfirmQuestion&)>;

// Composes the question for host (classifying the device again when ImageToUse is SERVER_UNKNOWN,
// reading its version) and asks it through ask. 1 on Yes; otherwise ImageToUse becomes
// SERVER_UNKNOWN and the result is 0. With an empty ask nothing is asked and the result is 0
// (ImageToUse unchanged). `question`, if given, receives what was (or would have been) asked.
int ConfirmUpgrade(const char* host, const ConfirmFn& ask, ConfirmQuestion* question = nullptr);

enum class WorkerMode {
    Detached, // StartTftpServer: nobody joins the worker (the product)
    Joinable, // the worker runs on ContinueResult::worker; the caller must join it (tests)
};

struct ContinueRequest {
    std::string hostName;
    std::string loginName;
    std::string password;
    ConfirmFn confirm;
    // Port, retransmission and the rest; empty means the defaults. expectedClient is always
    // replaced by the address that the upgrade command's connection reached.
    std::optional<TftpServerOptions> tftp;
    WorkerMode worker = WorkerMode::Detached;
    // Joinable only: called on the worker thread with TftpServerThread's result once it ends, so
    // that a front end also learns of an end that raises no event.
    std::function<void(int)> onWorkerEnd;
    // Stop after composing the question, without asking it: no command, no worker.
    bool dryRun = false;
    // True once the front end wants the sequence to stop before the command (a signal, say).
    std::function<bool()> cancelled;
};

enum class ContinueOutcome {
    PortUnavailable, // the TFTP port cannot be bound; its error event has been raised
    UnknownServer,   // classification failed; an error event may have been raised on the way
    NotConfirmed,    // the answer was not Yes
    DryRun,          // stopped before the command, as asked
    WorkerStarted,   // the command was sent (whatever its result) and the worker is running
    Cancelled,       // request.cancelled said so before the command; nothing more was sent
};

struct ContinueResult {
    ContinueOutcome outcome = ContinueOutcome::PortUnavailable;
    int imageToUse = 0;     // ImageToUse when the sequence ended
    int commandResult = -1; // StartFlashUpgrade's result; -1 when no command was sent
    // The status line of the device's reply to the command, when one arrived: a device may refuse
    // the command ("503 Service Unavailable") without the word that marks a rejected login.
    std::optional<HttpStatusLine> commandStatus;
    std::optional<ConfirmQuestion> question; // set once ConfirmUpgrade has composed it
    // The device's IPv4 address as the sequence's last connection to it reached it.
    std::optional<net::Ipv4> deviceAddress;
    std::thread worker; // joinable only with WorkerMode::Joinable
};

ContinueResult RunContinueSequence(const ContinueRequest& request);

// The trace line of the copied fields: "host:login:********".
std::string MaskedFieldsTrace(const char* host, const char* login);
