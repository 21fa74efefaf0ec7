#include "module/connection_view.h"

#include <atomic>
#include <mutex>

namespace {
std::atomic<const connection_view*> g_view{nullptr};
std::mutex g_rebuild_lock;
const void* g_source = nullptr;  // under g_rebuild_lock
}  // namespace

void connection_view_install(const connection_view* view) {
    g_view.store(view);
}

void connection_view_set_source(const void* source) {
    std::lock_guard<std::mutex> hold(g_rebuild_lock);
    g_source = source;
}

connection_view_rebuild::connection_view_rebuild(const void* source) {
    g_rebuild_lock.lock();
    const connection_view* view = g_view.load();
    if (source == g_source && view && view->begin()) {
        view_ = view;
        return;
    }
    g_rebuild_lock.unlock();
}

connection_view_rebuild::~connection_view_rebuild() {
    if (!view_)
        return;
    view_->end();
    g_rebuild_lock.unlock();
}

void connection_view_rebuild::add(const char* address_text) {
    if (view_)
        view_->add(address_text);
}
