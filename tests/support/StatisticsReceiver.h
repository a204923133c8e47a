// A statistics service for the telemetry tests: a real HTTP/1.1 listener on 127.0.0.1 (a
// port of its own) that records the path and body of every request and answers as told —
// accepting ({"error":0}), refusing ({"error":1}), with a server error (500), or not at all
// (the connection is kept open and never answered, like a server that hangs).
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace koruvan::test {

class StatisticsReceiver {
  public:
    enum class Answer { Accept, Refuse, ServerError, Hang };

    struct Request {
        std::string path;
        std::string body;
    };

    explicit StatisticsReceiver(Answer answer = Answer::Accept);
    ~StatisticsReceiver();
    StatisticsReceiver(const StatisticsReceiver&) = delete;
    StatisticsReceiver& operator=(const StatisticsReceiver&) = delete;

    [[nodiscard]] bool Started() const { return listener_ >= 0; }
    [[nodiscard]] int Port() const { return port_; }
    // "http://127.0.0.1:<port>" + path.
    [[nodiscard]] std::string Url(const std::string& path) const;
    void SetAnswer(Answer answer) { answer_.store(answer); }

    [[nodiscard]] std::vector<Request> Requests() const;
    // Requests seen so far (answered or not).
    [[nodiscard]] std::size_t Count() const;
    // Waits until at least `count` requests arrived; false after `limit`.
    bool WaitForRequests(std::size_t count,
                         std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

  private:
    void Serve();
    void Handle(int connection);

    int listener_ = -1;
    int port_ = 0;
    std::atomic<Answer> answer_;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    std::vector<Request> requests_;  // guarded by lock_
    std::vector<int> hanging_;       // connections left unanswered; only the serving thread
    std::thread thread_;
};

}  // namespace koruvan::test
