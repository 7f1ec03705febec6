#pragma once

namespace skelvo::cli {

// The exit codes of every command, documented in --help and docs/cli.md. One code per class of
// failure; with several hosts the first failure's code is the result.
enum ExitCode : int {
    kExitComplete = 0, // the upgrade is complete; for the other commands, success
    kExitOther = 1,
    kExitBadUsage = 2,    // a wrong command line, or input that cannot be used
    kExitPort = 3,        // the TFTP port cannot be bound
    kExitUnreachable = 4, // name resolution, connection, or the HTTP exchange failed
    kExitUnknownType = 5, // the device named no known server
    kExitLogin = 6,       // the device rejected the login
    kExitNotFetched = 7,  // the device never asked for the image
    kExitTransfer = 8,    // the TFTP transfer failed
    kExitReboot = 9,      // the device did not come back with the new version
    kExitNotConfirmed = 10,
    // The device verified the image but did not ask for it again: it rejected it or failed while
    // erasing, so unlike a failed transfer its flash may well be intact.
    kExitNoProgrammingRequest = 11,
    // The same, but the device still answers with its old version: it rejected the image and its
    // flash is intact.
    kExitImageRejected = 12,
    // The device answered the upgrade command with a 4xx or 5xx status other than a login failure.
    kExitCommandRefused = 13,
    // The version policy left the device alone: its firmware is newer than the image (without
    // --allow-older), or its version cannot be read (without --allow-reinstall or --force).
    kExitRefusedNewer = 14,
    kExitRefusedUnreadable = 15,
    // A signal ended the command: 128 + its number (130 SIGINT, 143 SIGTERM, 129 SIGHUP).
};

int Main(int argc, char** argv);

} // namespace skelvo::cli
