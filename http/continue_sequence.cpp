#include "http/continue_sequence.h"

#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "http/device_http.h"

#include <cstdio>

namespace {

constexpr std::size_t kDisplayVersionRoom = 63;
constexpr std::size_t kQuestionRoom = 1023;

constexpr char kQuestionFormat[] =
    "Warning: You have chosen to upgrade the flash image in the \"%s\" Varnek Server.\n"
    "This action cannot be interrupted and should only be done if and when required.\n\n"
    "Flash upgrades should only be carried out on servers within your subnet.\n"
    "Attempts to upgrade hosts over Virtual Private Networks will fail and should not be attempted.\n\n"
    "The Varnek Server you wish to upgrade is currently at Version-%s\n"
    "The new flash image is at Version-%s.\n\n"
    "Do you really want to upgrade the flash image?";

std::string VersionOrError(int type) {
    const char* v = ImageVersion(type);
    return v != nullptr ? v : "Error";
}

// The version of the image that will be served, before it is put in display form.
std::string NewImageVersion(int imageToUse) {
    switch (imageToUse) {
    case SERVER_USER_FILE:
        return kUserFileVersion;
    case SERVER_TOLVA:
    case SERVER_DRAVENHOLT:
    case SERVER_TOLVA_21XX:
    case SERVER_TOLVA_22XX:
        return VersionOrError(imageToUse);
    case SERVER_UNKNOWN:
        switch (DetectServerType(g_TftpConfigData.HostName)) {
        case SERVER_DRAVENHOLT:
            return VersionOrError(SERVER_DRAVENHOLT);
        case SERVER_TOLVA:
        case SERVER_TOLVA_21XX:
            return VersionOrError(SERVER_TOLVA_21XX);
        case SERVER_TOLVA_22XX:
            return VersionOrError(SERVER_TOLVA_22XX);
        default:
            return "Error";
        }
    default:
        return "Error";
    }
}

std::string ComposeQuestion(const std::string& host, const std::string& current, const std::string& display) {
    std::string text;
    std::string_view format = kQuestionFormat;
    const std::string* values[] = {&host, &current, &display};
    int next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' && next < 3) {
            text += *values[next++];
            ++i;
        } else {
            text += format[i];
        }
    }
    if (text.size() > kQuestionRoom)
        text.resize(kQuestionRoom);
    return text;
}

} // namespace

std::string MaskedFieldsTrace(const char* host, const char* login) {
    // CWE-532: the password never reaches a log; the mask does not tell its length either.
    return std::string(host != nullptr ? host : "") + ":" + (login != nullptr ? login : "") + ":********";
}

int ConfirmUpgrade(const char* host, const ConfirmFn& ask, ConfirmQuestion* question) {
    const int imageToUse = GetImageToUse();
    const std::string newVersion = NewImageVersion(imageToUse);
    TraceMessage("\nNew flash image version is %s\n", newVersion.c_str());

    const std::string hostText = host != nullptr ? host : "";
    const VersionAnswer answer = AskServerVersion(hostText.c_str());
    const std::optional<std::string>& reported = answer.version;
    TraceMessage("\n%s is at version-%s\n", PrintableText(hostText).c_str(),
                 reported ? reported->c_str() : "(null)");
    const std::string current = reported ? *reported : std::string(kNotKnown);

    std::string display = imageToUse == SERVER_USER_FILE ? newVersion : FormatVersion(newVersion);
    if (display.size() > kDisplayVersionRoom)
        display.resize(kDisplayVersionRoom);
    TraceMessage("\nDisplay version is %s\n", display.c_str());

    ConfirmQuestion q;
    q.title = kConfirmTitle;
    q.text = ComposeQuestion(hostText, current, display);
    q.host = hostText;
    q.currentVersion = current;
    q.newVersion = display;
    q.reached = answer.reached;
    if (question != nullptr)
        *question = q;
    if (!ask)
        return 0;
    if (ask(q) == ConfirmAnswer::Yes)
        return 1;
    SetImageToUse(SERVER_UNKNOWN);
    return 0;
}

ContinueResult RunContinueSequence(const ContinueRequest& request) {
    ContinueResult result;
    TftpServerOptions options = request.tftp.value_or(TftpServerOptions{});

    // The port is held from here until the worker ends: a device that asks as soon as it has
    // answered the command is heard, and no other program can take the port in between.
    TftpSocket socket = OpenTftpSocket(options);
    if (!socket) {
        TraceMessage("Error, could not open the TFTP port.\n");
        result.outcome = ContinueOutcome::PortUnavailable;
        result.imageToUse = GetImageToUse();
        return result;
    }

    SetHostName(request.hostName);
    SetLoginName(request.loginName);
    SetPassword(request.password);
    TraceMessage("%s\n", MaskedFieldsTrace(g_TftpConfigData.HostName, g_TftpConfigData.LoginName).c_str());

    auto cancelled = [&request, &result] {
        if (!request.cancelled || !request.cancelled())
            return false;
        result.outcome = ContinueOutcome::Cancelled;
        result.imageToUse = GetImageToUse();
        return true;
    };

    if (GetImageToUse() == SERVER_USER_FILE) {
        TraceMessage("Using a file....\n");
    } else if (cancelled()) {
        return result;
    } else {
        const ServerDetection detection = DetectServer(g_TftpConfigData.HostName);
        result.deviceAddress = detection.reached;
        switch (detection.type) {
        case SERVER_DRAVENHOLT:
            TraceMessage("Found an Dravenholt-II.\n");
            SetImageToUse(SERVER_DRAVENHOLT);
            break;
        case SERVER_TOLVA:
            TraceMessage("Found an Tolva.\n");
            SetImageToUse(SERVER_TOLVA_21XX);
            break;
        case SERVER_TOLVA_21XX:
            TraceMessage("Found an Tolva-21xx.\n");
            SetImageToUse(SERVER_TOLVA_21XX);
            break;
        case SERVER_TOLVA_22XX:
            TraceMessage("Found an Tolva-22xx.\n");
            SetImageToUse(SERVER_TOLVA_22XX);
            break;
        default:
            TraceMessage("Error getting server type.\n");
            result.outcome = ContinueOutcome::UnknownServer;
            result.imageToUse = GetImageToUse();
            return result;
        }
    }

    if (cancelled())
        return result;
    ConfirmQuestion question;
    const int confirmed =
        ConfirmUpgrade(g_TftpConfigData.HostName, request.dryRun ? ConfirmFn{} : request.confirm, &question);
    result.question = question;
    if (question.reached)
        result.deviceAddress = question.reached;
    if (!request.dryRun && cancelled())
        return result;
    if (request.dryRun || confirmed == 0) {
        result.outcome = request.dryRun ? ContinueOutcome::DryRun : ContinueOutcome::NotConfirmed;
        result.imageToUse = GetImageToUse();
        return result;
    }

    CommandReply reply = SendFlashUpgradeCommand();
    result.commandResult = reply.result;
    result.commandStatus = std::move(reply.status);
    result.imageToUse = GetImageToUse();
    if (reply.reached) {
        options.expectedClient = *reply.reached;
        result.deviceAddress = reply.reached;
    }
    if (request.worker == WorkerMode::Joinable)
        result.worker =
            std::thread([options, socket = std::move(socket), onEnd = request.onWorkerEnd]() mutable {
                int ended = TftpServerThread(1, std::move(socket), options);
                if (onEnd)
                    onEnd(ended);
            });
    else
        StartTftpServer(1, std::move(socket), options);
    result.outcome = ContinueOutcome::WorkerStarted;
    return result;
}
