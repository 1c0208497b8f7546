// The links that transfers may use, by object handle, with their count of users: a deleted
// link keeps its socket until its last transfer has left.
#include <algorithm>
#include <mutex>
#include <vector>

#include "kerval/core/alloc.h"
#include "kerval/core/core.h"
#include "kerval/tcp/tcp_service.h"

namespace kerval::tcp {
namespace {

platform::GuardedMutex g_links_lock;  // guards g_links and every LinkState's users
std::vector<LinkState*, core::Allocator<LinkState*>> g_links;  // by object handle; null: unusable

LinkState* StateOf(int32_t hLink)
{
    if (hLink < 0 || static_cast<size_t>(hLink) >= g_links.size())
        return nullptr;
    return g_links[static_cast<size_t>(hLink)];
}

}  // namespace

LinkUse::LinkUse(int32_t hLink)
{
    std::lock_guard guard(g_links_lock);
    state_ = StateOf(hLink);
    if (state_ != nullptr)
        ++state_->users;
}

LinkUse::~LinkUse()
{
    if (state_ == nullptr)
        return;
    {
        std::lock_guard guard(g_links_lock);
        if (--state_->users > 0 || !state_->deleted.load(std::memory_order_relaxed))
            return;
    }
    // The link was deleted while this transfer ran, and it was the last one.
    _PurgeSocket(state_->socket, state_->linger);
    core::Delete(state_);
}

bool AttachLink(int32_t hLink, platform::Socket sSocket, uint32_t lTimeout, uint32_t lLinger)
{
    if (hLink < 0)
        return false;
    auto* state = core::New<LinkState>();
    if (state == nullptr)
        return false;
    state->socket = sSocket;
    state->timeout = lTimeout;
    state->linger = lLinger;
    std::lock_guard guard(g_links_lock);
    const auto needed = static_cast<size_t>(hLink) + 1;
    const auto size = std::max(needed, static_cast<size_t>(core::Sys()->nNbObject));
    if (g_links.size() < needed && !core::Grown([&] { g_links.resize(size); })) {
        core::Delete(state);
        return false;
    }
    g_links[static_cast<size_t>(hLink)] = state;
    return true;
}

bool DetachLink(int32_t hLink)
{
    LinkState* state = nullptr;
    {
        std::lock_guard guard(g_links_lock);
        state = StateOf(hLink);
        if (state == nullptr)
            return true;
        g_links[static_cast<size_t>(hLink)] = nullptr;
        state->deleted.store(true, std::memory_order_release);
        if (state->users > 0) {
            // Under the lock: the last user cannot have the socket closed before this.
            platform::socket_shutdown_both(state->socket);
            return false;
        }
    }
    core::Delete(state);
    return true;
}

}  // namespace kerval::tcp
