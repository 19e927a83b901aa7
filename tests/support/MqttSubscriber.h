#pragma once

// A subscriber on libmosquitto's own thread, for the tests and the benchmark
// that watch what velmor-log publishes: every message, with the time it came.
// The includer links libmosquitto.

#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace mqtttest {

struct Message {
    std::string topic, payload;
    int qos = 0;
    bool retain = false;
    std::chrono::system_clock::time_point time; // when it came
};
using Messages = std::vector<Message>;

struct SubscriberSettings {
    int port = 0; // on 127.0.0.1
    std::string topic;
    // A persistent session under this id, whose messages the broker keeps
    // while the subscriber is away; empty: a clean session.
    std::string id;
    std::string user, password; // empty: none
    std::string ca;             // TLS with this CA; empty: plain
};

class Subscriber {
public:
    // Connects and waits up to patience for the subscription.
    Subscriber(SubscriberSettings settings, std::chrono::milliseconds patience)
        : topic(std::move(settings.topic))
    {
        mosquitto_lib_init();
        const bool clean = settings.id.empty();
        handle = mosquitto_new(clean ? nullptr : settings.id.c_str(), clean, this);
        if (!settings.user.empty()) {
            mosquitto_username_pw_set(handle, settings.user.c_str(), settings.password.c_str());
        }
        if (!settings.ca.empty()) {
            mosquitto_tls_set(handle, settings.ca.c_str(), nullptr, nullptr, nullptr, nullptr);
        }
        mosquitto_connect_callback_set(handle, [](mosquitto* m, void* self, int rc) {
            if (rc == 0) {
                mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->topic.c_str(), 1);
            }
        });
        mosquitto_subscribe_callback_set(handle, [](mosquitto*, void* self, int, int, const int*) {
            auto* s = static_cast<Subscriber*>(self);
            const std::lock_guard guard(s->lock);
            s->subscribed = true;
            s->news.notify_all();
        });
        mosquitto_message_callback_set(
            handle, [](mosquitto*, void* self, const mosquitto_message* m) {
                const auto now = std::chrono::system_clock::now();
                auto* s = static_cast<Subscriber*>(self);
                const std::lock_guard guard(s->lock);
                s->messages.push_back({m->topic,
                                       std::string(static_cast<const char*>(m->payload),
                                                   static_cast<std::size_t>(m->payloadlen)),
                                       m->qos, m->retain, now});
                s->news.notify_all();
            });
        if (mosquitto_connect(handle, "127.0.0.1", settings.port, 60) == MOSQ_ERR_SUCCESS &&
            mosquitto_loop_start(handle) == MOSQ_ERR_SUCCESS) {
            std::unique_lock guard(lock);
            news.wait_for(guard, patience, [&] { return subscribed; });
        }
    }
    ~Subscriber()
    {
        mosquitto_disconnect(handle);
        mosquitto_loop_stop(handle, false);
        mosquitto_destroy(handle);
        mosquitto_lib_cleanup();
    }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    bool Subscribed()
    {
        const std::lock_guard guard(lock);
        return subscribed;
    }
    const std::string& Topic() const { return topic; }

    // Waits until done says yes to what came so far.
    bool WaitFor(const std::function<bool(const Messages&)>& done,
                 std::chrono::milliseconds patience)
    {
        std::unique_lock guard(lock);
        return news.wait_for(guard, patience, [&] { return done(messages); });
    }
    std::size_t Count()
    {
        const std::lock_guard guard(lock);
        return messages.size();
    }
    Messages Got()
    {
        const std::lock_guard guard(lock);
        return messages;
    }

private:
    const std::string topic;
    mosquitto* handle = nullptr;
    std::mutex lock; // guards subscribed and messages, written on libmosquitto's thread
    std::condition_variable news;
    bool subscribed = false;
    Messages messages;
};

} // namespace mqtttest
