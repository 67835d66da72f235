#include "core/services.h"

#include <utility>

namespace {
Services g_services;
}  // namespace

const Services& services() { return g_services; }

void installServices(Services s) { g_services = std::move(s); }
