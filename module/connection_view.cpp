#include "module/connection_view.h"

#include <atomic>

namespace {
std::atomic<const connection_view*> g_view{nullptr};
}

void connection_view_install(const connection_view* view) {
    g_view.store(view);
}

int connection_view_begin() {
    const connection_view* view = g_view.load();
    return view ? view->begin() : 0;
}

void connection_view_add(const char* address_text) {
    if (const connection_view* view = g_view.load())
        view->add(address_text);
}

void connection_view_end() {
    if (const connection_view* view = g_view.load())
        view->end();
}
