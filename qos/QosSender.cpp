// qos/QosSender.cpp - the reports' own thread.

#include "QosSender.h"

#include <chrono>
#include <deque>

#include "fund/trace.h"
#include "fund/win/module.h"
#include "fund/win/monitor.h"
#include "fund/win/thread.h"

// Shared by the sender and its thread: the thread may outlive the sender.
struct QosSender::State {
    fund::win::monitor monitor;
    std::deque<std::vector<unsigned char>> queue;
    Link link = Link::Pending;
    bool closing = false;
    bool ended = false;
    fund::win::thread thread;
    std::string host;
    unsigned short port = 0;
    Opener opener;
    std::chrono::steady_clock::time_point lookupDeadline;
};

QosSender::QosSender() = default;

QosSender::~QosSender() { Close(); }

bool QosSender::Start(const std::string& host, unsigned short port, Opener opener) {
    if (m_state || !opener) return false;
    auto state = std::make_shared<State>();
    state->host = host;
    state->port = port;
    state->opener = std::move(opener);
    state->lookupDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLookupLimitMs);
    if (!state->thread.start([state] { Run(state); })) {
        Trace(L"error: QosSender: no thread for the reports, LastError: %lu", GetLastError());
        return false;
    }
    m_state = std::move(state);
    return true;
}

void QosSender::Run(std::shared_ptr<State> state) {
    std::string failure;
    std::unique_ptr<QosTransport> transport;
    try {
        transport = state->opener(state->host, state->port, &failure);
    } catch (...) {
        failure = "the transport could not be set up (out of memory)";
    }
    fund::win::monitor_lock hold(state->monitor);
    if (transport && std::chrono::steady_clock::now() > state->lookupDeadline) {
        failure = "the lookup took too long";
        transport.reset();
    }
    if (!transport) {
        Trace(L"error: QosSender: %hs (%hs:%u); no report is sent", failure.c_str(), state->host.c_str(),
              static_cast<unsigned>(state->port));
        state->link = Link::Failed;
        state->queue.clear();
    } else {
        state->link = Link::Up;
        for (;;) {
            state->monitor.wait([&] { return state->closing || !state->queue.empty(); });
            if (state->queue.empty()) break;  // closing, and all sent
            std::vector<unsigned char> packet = std::move(state->queue.front());
            state->queue.pop_front();
            state->monitor.leave();
            if (!SendQosDatagram(transport.get(), packet.data(), packet.size()))
                Trace(L"error: QosSender: a report was not sent (%d)", static_cast<int>(GetLastError()));
            state->monitor.enter();
        }
        state->monitor.leave();
        transport.reset();  // the socket and the socket library, before the end is told
        state->monitor.enter();
    }
    state->ended = true;
    state->monitor.notify_all();
}

bool QosSender::Send(std::vector<unsigned char> packet) {
    if (!m_state) return false;
    fund::win::monitor_lock hold(m_state->monitor);
    if (m_state->closing || m_state->link == Link::Failed) return false;
    m_state->queue.push_back(std::move(packet));
    m_state->monitor.notify_all();
    return true;
}

bool QosSender::Close() {
    if (!m_state) return true;
    std::shared_ptr<State> state = std::move(m_state);
    bool ended = false;
    {
        fund::win::monitor_lock hold(state->monitor);
        state->closing = true;
        state->monitor.notify_all();
        ended =
            state->monitor.wait_for(std::chrono::milliseconds(kCloseWaitMs), [&] { return state->ended; });
    }
    if (ended) {
        state->thread.join();
        return true;
    }
    // The lookup still runs: the thread finishes on its own (and sends what
    // is queued if the lookup ends in time).  Its code must stay loaded.
    Trace(L"QosSender: the lookup of %hs outlasts the plug-in's stop; it ends on its own",
          state->host.c_str());
    fund::win::pin_this_module();
    state->thread.detach();
    return false;
}

QosSender::Link QosSender::GetLink() const {
    if (!m_state) return Link::Failed;
    fund::win::monitor_lock hold(m_state->monitor);
    return m_state->link;
}
