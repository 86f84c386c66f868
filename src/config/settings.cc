#include "config/settings.h"

namespace tessvane {
namespace {

Settings g_settings;

}  // namespace

Settings& settings() noexcept {
  return g_settings;
}

}  // namespace tessvane
