// The studio's HTTP side: one page and its API on 127.0.0.1, every request checked before it is
// handled (requests.hpp), changes handed to the studio's main thread, and the news pushed to every
// open page as Server-Sent Events.
//
// The server is libmicrohttpd on one epoll thread: a connection holds no thread, so slow or idle
// clients and open event streams (suspended between news) cost a little memory each, never the
// server's ability to answer. Each connection's headers live in a fixed memory pool, so a request
// with endless headers is refused instead of growing the studio.
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
#include <vector>

#include "vyr/base/result.hpp"
#include "vyr/studio/requests.hpp"

struct MHD_Daemon;
struct MHD_Connection;

namespace vyr::studio {

// The latest state of each topic ("settings", "phone", "status"), each a JSON text, and a way to
// wait for news. Thread-safe.
class Hub {
 public:
  void publish(const std::string& topic, std::string json);
  // {"settings": ..., "phone": ..., "status": ...}, null for a topic not published yet.
  std::string snapshot() const;
  // Ends every wait, now and later. The hub's owner calls it; a server that borrows the hub
  // never does.
  void close();
  // Ends the waits for news going on now (waitPast) as a publish of nothing would: the
  // version grows, no topic changes. The hub stays open.
  void wake();
  // A number that grows with every publish, and a wait for it to pass SEEN (or TIMEOUT, or close).
  std::uint64_t version() const;
  void waitPast(std::uint64_t seen, std::chrono::milliseconds timeout);
  // The news newer than SEEN, as Server-Sent Events, one event per topic, without waiting (empty
  // when there is none); SEEN is updated.
  std::string newsSince(std::map<std::string, std::uint64_t>& seen);
  bool closed() const;

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

// An answer to a request: its status and a body, JSON unless TYPE says otherwise. A body with
// a DOWNLOAD name is offered to the browser as a file of that name.
struct Reply {
  Reply() = default;
  Reply(int status_, std::string json_, std::string type_ = "application/json",
        std::string download_ = {}, bool close_ = false)
      : status(status_),
        json(std::move(json_)),
        type(std::move(type_)),
        download(std::move(download_)),
        close(close_) {}
  int status = 200;
  std::string json;
  std::string type = "application/json";
  std::string download;
  bool close = false;  // the connection ends with this answer
};

// Work handed from the server's threads to the studio's main thread, which alone touches the
// device's objects (the Settings pane must be used on one thread). Thread-safe.
// Hands the reply to a request that waits for it; the first call counts, later ones do nothing.
// Any thread may call it.
using Answer = std::function<void(Reply)>;

class MainThreadQueue {
 public:
  MainThreadQueue();
  ~MainThreadQueue();
  MainThreadQueue(const MainThreadQueue&) = delete;
  MainThreadQueue& operator=(const MainThreadQueue&) = delete;

  // Readable while work waits: poll it on the main thread, then call runPending().
  int descriptor() const { return event_; }
  // Runs WORK on the main thread and hands its reply to DONE there, without waiting; DONE gets a
  // 503 reply instead (on the closing thread) when the queue closes first.
  void submit(std::function<Reply()> work, std::function<void(Reply)> done);
  // As submit(), for WORK that answers when it can: it gets an Answer, which it calls once, then
  // or later (say when a child process has replied), and which passes the reply on to DONE.
  // WORK that throws answers 500.
  void submitAnswering(std::function<void(Answer)> work, Answer done);
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
  std::string layout;  // JSON: where each element is drawn on the phone (api/layout)
};
// The page's files from FOLDER (index.html, studio.css, studio.js), or one line naming what is
// missing.
Result<> loadWebFiles(const std::string& folder, WebFiles& files);

// What the page's changes do, called on the main thread with the request's body (not yet parsed)
// and the Answer that replies to the page, at once or once the change is made. The main thread
// never waits for a child process on a page's behalf.
struct Actions {
  std::function<void(const std::string& body, Answer)> set;       // POST api/set
  std::function<void(const std::string& body, Answer)> tap;       // POST api/tap
  std::function<void(const std::string& body, Answer)> respring;  // POST api/respring (nav bar)
  std::function<void(const std::string& body, Answer)> device;    // POST api/device
  std::function<void(const std::string& body, Answer)> start;     // POST api/springboard
  std::function<void(Answer)> profile;                            // GET api/profile (a download)
  std::function<void(const std::string& body, Answer)> undo;      // POST api/undo (none: 404)
  std::function<void(const std::string& body, Answer)> reset;     // POST api/reset (none: 404)
  // POST api/preview?name=NAME: BODY is a profile's bytes (at most kMaxProfileBody), NAME the
  // file's name as the page gives it (empty without one). None: 404.
  std::function<void(const std::string& name, const std::string& body, Answer)> preview;
};

// What keeps one client from starving the others. A client is a source address: on loopback
// every local program shares 127.0.0.1, so the cap is wide enough for many open pages and still
// bounds what one flood of connections can hold. A connection that has not shown the studio's
// token (in its request line) is "token-less": they are few and short-lived, and one more than
// the cap ends the oldest of them, so token-less traffic can neither fill the table nor lock a
// page out, nor push out a page's connection whose headers are still coming.
struct Limits {
  unsigned connections = 512;           // open at once, in all
  unsigned connectionsPerClient = 256;  // open at once from one source address
  unsigned tokenless = 64;              // token-less connections open at once
  // A token-less connection ends this long after it was accepted, however busy.
  std::chrono::milliseconds tokenlessLife = std::chrono::seconds(10);
  std::size_t requestMemory = 32 * 1024;  // a request's line and headers, and its buffers
  unsigned idleSeconds = 15;              // a connection that sends nothing for this long ends
  std::chrono::milliseconds keepAlive = std::chrono::seconds(10);  // comment on a quiet stream
  // A connection whose request line and headers are not all in by then is cut off, however
  // steadily it trickles them.
  std::chrono::milliseconds headerDeadline = std::chrono::seconds(10);
};

class Server {
 public:
  Server(WebFiles files, Hub& hub, MainThreadQueue& queue, Actions actions, Limits limits = {});
  ~Server();  // stop()
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds 127.0.0.1:PORT, or the next free port above it when it is taken (PORT 0: any free
  // port), and serves from a thread of its own. The port is never shared with another program
  // (no SO_REUSEPORT).
  // Every answer carries this start's own random id (header X-VYR-Studio), so that a page whose
  // stream broke can tell its own studio from whatever holds the port now.
  Result<> start(int port, const std::string& token);
  const std::string& startId() const { return startId_; }
  const Address& address() const { return address_; }
  // The ports tried before the one bound because another program held them (empty when the
  // first one tried was free).
  const std::vector<int>& takenPorts() const { return taken_; }
  // Ends every open event stream and stops serving; waits for the server's threads. The hub is
  // left open (its owner closes it); the queue is closed, so that changes still waiting are
  // answered 503.
  void stop();

  struct Request;  // one request in progress (server.cpp)
  struct Stream;   // one open event stream
  struct Handed;   // the requests handed to the main thread, not answered yet

 private:
  int handle(MHD_Connection* connection, const char* url, const char* method, const char* upload,
             std::size_t* uploadSize, void** context);
  int answer(MHD_Connection* connection, std::string_view url, const char* method,
             Request& request);
  int handOver(MHD_Connection* connection, Request& request, std::function<void(Answer)> work);
  ssize_t streamRead(Stream& stream, char* buffer, std::size_t max);
  void wakeStreams();
  void cutOffSlowHeaders();
  // Call with arrivingMutex_ held: ends CONNECTION's socket (the daemon then sees it end).
  static void cutOff(MHD_Connection* connection);

  WebFiles files_;
  Hub& hub_;
  MainThreadQueue& queue_;
  Actions actions_;
  Limits limits_;
  Address address_;
  std::vector<int> taken_;
  int listener_ = -1;
  MHD_Daemon* daemon_ = nullptr;
  // Streams suspended until there is news; every suspend and resume happens under this lock.
  std::mutex streamsMutex_;
  std::vector<Stream*> suspended_;
  bool stopping_ = false;
  // Connections still sending their headers, with the time each was accepted.
  std::mutex arrivingMutex_;
  std::map<MHD_Connection*, std::chrono::steady_clock::time_point> arriving_;
  // Connections that have not yet shown the token, with the time each was accepted.
  std::map<MHD_Connection*, std::chrono::steady_clock::time_point> tokenless_;
  std::string startId_;
  std::thread waker_;
  // The requests handed to the main thread and not answered yet. Shared with their Answers, which
  // may be called after this server has gone: stop() answers what is left (503), and an Answer
  // called after that finds its request answered and does nothing.
  std::shared_ptr<Handed> handed_;
};

}  // namespace vyr::studio
