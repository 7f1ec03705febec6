#include "upgrade/policy.h"

#include "engine/messages.h"
#include "engine/upgrade_record.h"
#include "upgrade/outcome.h"

namespace skelvo::upgrade {

PolicyDecision Decide(int imageToUse, const std::string& deviceVersion, const VersionPolicy& policy) {
    const char* digits = ImageVersion(imageToUse);
    const std::string imageVersion =
        imageToUse == SERVER_USER_FILE || digits == nullptr ? std::string() : FormatVersion(digits);
    return DecideUpgrade(deviceVersion, imageVersion, policy);
}

int PolicyExit(PolicyDecision decision, const std::string& current, int imageToUse, bool userFile,
               std::string& message) {
    switch (decision) {
    case PolicyDecision::UpToDate:
        message = "already at version " + current + "; nothing was sent";
        return kExitComplete;
    case PolicyDecision::RefusedNewer:
        message = "runs version " + current + ", newer than the image's " + PresentedVersion(imageToUse) +
                  "; nothing was sent (--allow-older flashes it)";
        return kExitRefusedNewer;
    case PolicyDecision::RefusedUnreadable:
        message = std::string("its version cannot be read; nothing was sent (") +
                  (userFile ? "--force" : "--allow-reinstall") + " flashes it)";
        return kExitRefusedUnreadable;
    case PolicyDecision::Upgrade:
        break;
    }
    return kExitComplete;
}

} // namespace skelvo::upgrade
