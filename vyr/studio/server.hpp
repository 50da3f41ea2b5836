// The studio's HTTP side: one page and its API on 127.0.0.1, every request checked before it is
// handled (requests.hpp), changes handed to the studio's main thread, and the news pushed to every
// open page as Server-Sent Events.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "vyr/studio/requests.hpp"

namespace httplib {
class Server;
}

namespace vyr::studio {

// The latest state of each topic ("settings", "phone", "status"), each a JSON text, and a way to
// wait for news. Thread-safe.
class Hub {
 public:
  void publish(const std::string& topic, std::string json);
  // {"settings": ..., "phone": ..., "status": ...}, null for a topic not published yet.
  std::string snapshot() const;
  // Waits up to TIMEOUT for a topic newer than SEEN says (SEEN is updated) and returns the news as
  // Server-Sent Events, one event per topic; empty on timeout. Nothing once closed.
  std::optional<std::string> news(std::map<std::string, std::uint64_t>& seen,
                                  std::chrono::milliseconds timeout);
  // Ends every wait, now and later.
  void close();

 private:
  struct Topic {
    std::string json;
    std::uint64_t version = 0;
  };
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Topic> topics_;
  std::uint64_t clock_ = 0;
  bool closed_ = false;
};

// An answer to a request: its status and a JSON body.
struct Reply {
  int status = 200;
  std::string json;
};

// Work handed from the server's threads to the studio's main thread, which alone touches the
// device's objects (the Settings pane must be used on one thread). Thread-safe.
class MainThreadQueue {
 public:
  MainThreadQueue();
  ~MainThreadQueue();
  MainThreadQueue(const MainThreadQueue&) = delete;
  MainThreadQueue& operator=(const MainThreadQueue&) = delete;

  // Readable while work waits: poll it on the main thread, then call runPending().
  int descriptor() const { return event_; }
  // Runs WORK on the main thread and returns its reply; a 503 reply when the queue is closed or
  // the main thread does not get to it within TIMEOUT.
  Reply run(std::function<Reply()> work, std::chrono::milliseconds timeout);
  // On the main thread: runs the work waiting now.
  void runPending();
  // Refuses work from now on; work still waiting is dropped (its callers get 503).
  void close();

 private:
  struct Item;
  int event_ = -1;
  std::mutex mutex_;
  std::deque<std::shared_ptr<Item>> items_;
  bool closed_ = false;
};

// The files of the page, read once when the studio starts.
struct WebFiles {
  std::string html;
  std::string css;
  std::string js;
};
// The page's files from FOLDER (index.html, studio.css, studio.js); an empty string on success,
// else one line naming what is missing.
std::string loadWebFiles(const std::string& folder, WebFiles& files);

// What the page's changes do, called on the main thread with the request's body (not yet parsed).
struct Actions {
  std::function<Reply(const std::string& body)> set;       // POST api/set
  std::function<Reply(const std::string& body)> tap;       // POST api/tap
  std::function<Reply(const std::string& body)> respring;  // POST api/respring (nav bar button)
  std::function<Reply(const std::string& body)> device;    // POST api/device
  std::function<Reply(const std::string& body)> start;     // POST api/springboard
};

class Server {
 public:
  Server(WebFiles files, Hub& hub, MainThreadQueue& queue, Actions actions);
  ~Server();  // stop()
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds 127.0.0.1:PORT, or the next free port above it when it is taken (PORT 0: any free
  // port), and serves from a thread of its own. Returns an empty string on success, else one
  // line saying what failed.
  std::string start(int port, const std::string& token);
  const Address& address() const { return address_; }
  // Ends every open event stream and stops serving; waits for the server's threads.
  void stop();

 private:
  void routes();
  WebFiles files_;
  Hub& hub_;
  MainThreadQueue& queue_;
  Actions actions_;
  Address address_;
  std::unique_ptr<httplib::Server> http_;
  std::thread thread_;
};

}  // namespace vyr::studio
