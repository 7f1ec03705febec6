// The version policy's decision for one device, and what it means for the device.
#pragma once

#include "engine/version_policy.h"

#include <string>

namespace skelvo::upgrade {

// The decision for a device that reports deviceVersion and is to be served the image that
// imageToUse selects (a user's file has no version to compare).
PolicyDecision Decide(int imageToUse, const std::string& deviceVersion, const VersionPolicy& policy);
// The exit code of a decision, and in message what it means for the device.
int PolicyExit(PolicyDecision decision, const std::string& current, int imageToUse, bool userFile,
               std::string& message);

} // namespace skelvo::upgrade
