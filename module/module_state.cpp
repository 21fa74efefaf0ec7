#include "module/module_state.h"

#include <atomic>

namespace {
std::atomic<void*> g_module_instance{nullptr};
}

void module_instance_store(void* instance) {
    g_module_instance.store(instance);
}

void* module_instance() {
    return g_module_instance.load();
}
