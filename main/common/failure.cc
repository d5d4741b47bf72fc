#include "main/common/failure.h"

#include <array>

namespace kex {

bool isCatalogued(std::string_view code) {
  static constexpr std::array all = {
      codes::invalidArguments,
      codes::nativeOperationFailed,
      codes::cancelled,
      codes::capabilityUnavailable,
      codes::topologyChanged,
      codes::sessionLocked,
      codes::sessionUnavailable,
      codes::permissionRequired,
      codes::targetStale,
      codes::protectedTarget,
      codes::focusChanged,
      codes::targetOccluded,
      codes::inputBlocked,
      codes::backendUnsupported,
      codes::captureTooLarge,
      codes::captureProtected,
      codes::controllerBusy,
      codes::inputWatchdogLost,
      codes::inputMonitorUnavailable,
      codes::inputMonitorLost,
      codes::humanInterrupted,
  };
  for (auto known : all) {
    if (known == code) return true;
  }
  return false;
}

}  // namespace kex
