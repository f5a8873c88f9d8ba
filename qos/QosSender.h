// qos/QosSender.h - sends the statistics reports from a thread of its own.
//
// The launcher's threads never wait for the network: the sender's thread
// looks the server's name up and connects (the transport), and then sends
// the reports that were handed to it, in the order they were handed over.
// Reports handed over before the lookup ends wait for it; when the lookup
// fails, or ends after kLookupLimitMs, none is sent.  Close() takes no more
// reports and gives the queued ones kCloseWaitMs to go out; a sender still
// busy then (a slow lookup) is left to finish on its own, with the code it
// runs kept loaded.

#ifndef QOS_QOSSENDER_H
#define QOS_QOSSENDER_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QosTransport.h"

class QosSender {
public:
    // Opens the transport: OpenQosTransport, or a test's stand-in.
    using Opener = std::function<std::unique_ptr<QosTransport>(const std::string& host, unsigned short port,
                                                               std::string* failure)>;
    enum class Link { Pending, Up, Failed };

    static const unsigned kLookupLimitMs = 5000;
    static const unsigned kCloseWaitMs = 1000;

    QosSender();
    // Closes (see Close).
    ~QosSender();
    QosSender(const QosSender&) = delete;
    QosSender& operator=(const QosSender&) = delete;

    // Starts the thread that opens host:port with `opener`.  False when
    // the thread cannot start (nothing will be sent) or it runs already.
    bool Start(const std::string& host, unsigned short port, Opener opener);

    // Hands one packed report over; false when it will not be sent (not
    // started, closed, or the lookup failed).
    bool Send(std::vector<unsigned char> packet);

    // Takes no more reports and waits at most kCloseWaitMs for the queued
    // ones; true when the thread had ended by then.
    bool Close();

    bool IsStarted() const { return m_state != nullptr; }
    Link GetLink() const;

private:
    struct State;
    static void Run(std::shared_ptr<State> state);

    std::shared_ptr<State> m_state;
};

#endif  // QOS_QOSSENDER_H
