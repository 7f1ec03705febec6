#include "engine/messages.h"

#include "engine/events.h"
#include "engine/upgrade_record.h"

namespace {

constexpr char kCheckNetwork[] =
    "\n\nPlease check that the desired server is correctly connected to the network "
    "and that the IP Address is valid";

std::string Insert(std::string_view format, std::string_view value) {
    std::string out;
    std::size_t at = format.find("%s");
    out.append(format.substr(0, at));
    if (at != std::string_view::npos) {
        out.append(value);
        out.append(format.substr(at + 2));
    }
    return out;
}

} // namespace

std::string PresentedVersion(int imageToUse) {
    if (imageToUse == SERVER_USER_FILE)
        return " ---- ";
    const char* v = ImageVersion(imageToUse);
    return v != nullptr ? FormatVersion(v) : std::string();
}

std::string StepTitle(int statusCode, std::string_view version) {
    switch (statusCode) {
    case STATUS_COMMAND_ACCEPTED:
        return Insert("Step 2 of 5: Requesting flash image firmware upgrade to version %s\n", version);
    case STATUS_VERIFYING:
        return "Step 3 of 5: Server is verifying flash image firmware";
    case STATUS_ERASING:
        return "Step 4 of 5: Erasing existing flash firmware image.";
    case STATUS_PROGRAMMING:
        return "Step 5 of 5: Server is programming the flash image firmware.";
    default:
        return {};
    }
}

std::string StepDescription(int statusCode) {
    switch (statusCode) {
    case STATUS_COMMAND_ACCEPTED:
        return "A flash image upgrade request is being sent to the server.\n\n\n\nThis may take up to 30 "
               "seconds "
               "to complete \n";
    case STATUS_VERIFYING:
        return "The server is verifying the integrity of the flash image firmware.\n\n\nDuring this step the "
               "server will download the new flash image,check that it is compatible with the server "
               "hardware, "
               "and verifies that the image checksum is correct.";
    case STATUS_ERASING:
        return "The server is erasing the existing firmware image.\n\n\nIn this step the server erases the "
               "flash "
               "memory chip so that it may program in the new firmware image.\n\nThis can take up to 45 "
               "seconds "
               "to complete.";
    case STATUS_PROGRAMMING:
        return "The server is programming the new firmware image into flash memory.\n\n\nDuring this step "
               "the "
               "server downloads the new flash image, and writes it into flash memory.  This stage invokes a "
               "permanent firmware change to the flash memory.";
    default:
        return {};
    }
}

std::string SuccessTitle(std::string_view hostName, std::string_view version) {
    std::string out = "The Skelvo utility has successfully upgraded the Varnek Server: ";
    out.append(hostName);
    out.append(". to version ");
    out.append(version);
    out.append(" \n\n");
    return out;
}

std::string SuccessDescription() {
    return "Once the server has finished rebooting the device is ready to use.";
}

std::string UnconfirmedEndNote() {
    return "The server did not acknowledge the last block. It very probably holds the whole image: "
           "check that it restarts with the new version.";
}

std::string ProgressText(int sent, int total) {
    return "Transferring " + std::to_string(sent) + " of " + std::to_string(total) + " bytes.\n";
}

int ProgressPosition(int sent, int total) {
    if (total == 0)
        return 0;
    // The quotient keeps all its bits until the multiplication: 14848 / 51200 * 100 gives 28.
    double quotient = static_cast<double>(sent) / static_cast<double>(total);
    return static_cast<int>(quotient * 100.0);
}

std::string ErrorText(int errorCode, std::string_view hostName, std::string_view loginName) {
    switch (errorCode) {
    case ERR_SOCKETS_SETUP:
        return std::string("ERROR: An error has occured when trying to setup the Windows Sockets.") +
               kCheckNetwork;
    case ERR_TFTP_SOCKET:
        return std::string("ERROR: An error has occured when trying to open the TFTP socket.") +
               kCheckNetwork;
    case ERR_TFTP_BIND:
        return std::string("ERROR: An error has occured when trying to bind to the TFTP Socket.") +
               kCheckNetwork;
    case ERR_SOCKET_CLOSED:
        return std::string("ERROR: The socket that you are trying to receive data from is closed.") +
               kCheckNetwork;
    case ERR_READ_REQUEST:
        return std::string("ERROR: The TFTP Read Request has failed.") + kCheckNetwork;
    case ERR_CONNECT:
        return Insert("ERROR: TFTP Server unable to connect to the requested Server: %s.", hostName) +
               kCheckNetwork;
    case ERR_SEND:
        return Insert("ERROR: An Error has occured when Sending a command to the requested Server: %s.",
                      hostName) +
               kCheckNetwork;
    case ERR_RECEIVE:
        return Insert("ERROR: An Error has occured when attempting to receive Server Type info from the "
                      "requested "
                      "Server: %s.",
                      hostName) +
               kCheckNetwork;
    case ERR_RESOLVE:
        return Insert("ERROR: An Error has occured when attempting to resolve the requested DNS Name: %s.",
                      hostName) +
               kCheckNetwork;
    case ERR_LOGIN:
        return Insert(
            "ERROR: Invalid Username ( %s ) or Password Entered\n\nPlease check that both the username "
            "and password are correct",
            loginName);
    case ERR_NO_PROGRAMMING_REQUEST:
        return Insert("ERROR: The Varnek Server %s verified the image but did not ask for it again. It may "
                      "have rejected the image, in which case its firmware is unchanged, or it may have "
                      "failed while erasing its flash.",
                      hostName);
    default:
        return {};
    }
}

std::string TrimEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}
