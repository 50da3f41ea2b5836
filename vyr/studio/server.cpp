#include "vyr/studio/server.hpp"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace vyr::studio {
namespace {

using nlohmann::json;

constexpr int kPortsTried = 100;
constexpr int kBacklog = 128;

// The page may use only what the studio itself serves: no other site, no plug-ins, no framing.
// The phone's picture reaches the page as an image the page makes of the SVG it received (a
// blob: URL), which the page may also read back; nothing in the document carries a style
// attribute any more.
constexpr char kContentPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; "
    "connect-src 'self' blob:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string errorJson(const std::string& message) {
  return json{{"error", message}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string tooLargeJson(std::size_t limit) {
  return errorJson("the request body is larger than " + std::to_string(limit) + " bytes");
}

// The headers every answer carries, START_ID the server's (Server::startId).
void secure(MHD_Response* response, const std::string& startId) {
  MHD_add_response_header(response, "X-VYR-Studio", startId.c_str());
  for (const auto& [name, value] :
       {std::pair{"Cache-Control", "no-store"}, std::pair{"X-Content-Type-Options", "nosniff"},
        std::pair{"Referrer-Policy", "no-referrer"}, std::pair{"X-Frame-Options", "DENY"},
        std::pair{"Content-Security-Policy", kContentPolicy}}) {
    MHD_add_response_header(response, name, value);
  }
}

MHD_Result queue(MHD_Connection* connection, const Reply& reply, const std::string& startId) {
  MHD_Response* response = MHD_create_response_from_buffer(
      reply.json.size(), const_cast<char*>(reply.json.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  secure(response, startId);
  MHD_add_response_header(response, "Content-Type", reply.type.c_str());
  if (reply.close) MHD_add_response_header(response, "Connection", "close");
  if (!reply.download.empty()) {
    const std::string disposition = "attachment; filename=\"" + reply.download + "\"";
    MHD_add_response_header(response, "Content-Disposition", disposition.c_str());
  }
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
  MHD_destroy_response(response);
  return queued;
}

std::optional<std::string> header(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// A listening socket on 127.0.0.1:PORT (0: any free port), or -1 with errno set. SO_REUSEADDR
// lets a restarted studio take its port back while old connections linger in TIME_WAIT; it never
// lets two programs listen on one port, as SO_REUSEPORT would.
int listenOn(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, kBacklog) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

int boundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return ntohs(address.sin_port);
}

std::optional<std::string> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

void Hub::publish(const std::string& topic, std::string text) {
  {
    std::lock_guard lock(mutex_);
    Topic& t = topics_[topic];
    t.json = std::move(text);
    t.version = ++clock_;
  }
  changed_.notify_all();
}

std::string Hub::snapshot() const {
  std::lock_guard lock(mutex_);
  std::string out = "{";
  bool first = true;
  for (const char* name : {"settings", "phone", "status"}) {
    const auto it = topics_.find(name);
    out += std::string(first ? "" : ",") + "\"" + name +
           "\":" + (it == topics_.end() ? std::string("null") : it->second.json);
    first = false;
  }
  return out + "}";
}

std::uint64_t Hub::version() const {
  std::lock_guard lock(mutex_);
  return clock_;
}

void Hub::wake() {
  {
    std::lock_guard lock(mutex_);
    ++clock_;
  }
  changed_.notify_all();
}

bool Hub::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

void Hub::waitPast(std::uint64_t seen, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return closed_ || clock_ > seen; });
}

std::string Hub::newsSince(std::map<std::string, std::uint64_t>& seen) {
  std::lock_guard lock(mutex_);
  std::string out;
  for (const auto& [name, topic] : topics_) {
    if (topic.version <= seen[name]) continue;
    seen[name] = topic.version;
    out += "event: " + name + "\ndata: " + topic.json + "\n\n";
  }
  return out;
}

void Hub::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

struct MainThreadQueue::Item {
  std::function<void(Answer)> work;
  Answer done;  // answers once: the first call counts
};

MainThreadQueue::MainThreadQueue() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

MainThreadQueue::~MainThreadQueue() {
  close();
  if (event_ >= 0) ::close(event_);
}

void MainThreadQueue::submit(std::function<Reply()> work, std::function<void(Reply)> done) {
  submitAnswering([work = std::move(work)](const Answer& answer) { answer(work()); },
                  std::move(done));
}

void MainThreadQueue::submitAnswering(std::function<void(Answer)> work, Answer done) {
  auto item = std::make_shared<Item>();
  item->work = std::move(work);
  auto answered = std::make_shared<std::atomic<bool>>(false);
  item->done = [answered, done = std::move(done)](Reply reply) {
    if (!answered->exchange(true)) done(std::move(reply));
  };
  {
    std::lock_guard lock(mutex_);
    if (!closed_ && event_ >= 0) {
      items_.push_back(item);
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(event_, &one, sizeof one);
      return;
    }
  }
  item->done({503, errorJson("the studio is stopping")});
}

void MainThreadQueue::runPending() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(event_, &count, sizeof count);
  std::deque<std::shared_ptr<Item>> items;
  {
    std::lock_guard lock(mutex_);
    items.swap(items_);
  }
  for (const auto& item : items) {
    try {
      item->work(item->done);
    } catch (const std::exception& e) {
      item->done({500, errorJson(std::string("the studio failed: ") + e.what())});
    } catch (...) {
      item->done({500, errorJson("the studio failed")});
    }
  }
}

void MainThreadQueue::close() {
  std::deque<std::shared_ptr<Item>> items;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    items.swap(items_);
  }
  for (const auto& item : items) item->done({503, errorJson("the studio is stopping")});
}

Result<> loadWebFiles(const std::string& folder, WebFiles& files) {
  for (auto [name, text] :
       {std::pair{"index.html", &files.html}, std::pair{"studio.css", &files.css},
        std::pair{"studio.js", &files.js}}) {
    auto content = readAll(folder + "/" + name);
    if (!content) return failed("the studio's page is missing: cannot read " + folder + "/" + name);
    *text = std::move(*content);
  }
  return {};
}

// A request handed to the main thread, until it is answered.
struct Pending {
  MHD_Connection* connection = nullptr;
  Server::Request* request = nullptr;
  bool answered = false;
};

struct Server::Handed {
  std::mutex mutex;
  std::vector<std::shared_ptr<Pending>> waiting;
};

// One request in progress: its body as it arrives, and the reply once the main thread gave it.
struct Server::Request {
  std::string body;
  std::size_t limit = kMaxBody;  // the largest body this request's path takes (maxBody)
  bool tooLarge = false;
  bool submitted = false;
  std::optional<Reply> reply;  // set on the main thread, read after the connection resumes
  std::mutex mutex;
};

namespace {

// Gives PENDING's request its REPLY and lets its connection go on, unless it was answered before
// (by stop(), say): then nothing of it is touched any more.
void finish(Server::Handed& handed, const std::shared_ptr<Pending>& pending, Reply reply) {
  {
    std::lock_guard lock(handed.mutex);
    if (pending->answered) return;
    pending->answered = true;
    std::erase(handed.waiting, pending);
  }
  // Outside the lock: the daemon's thread takes it to hand requests over.
  {
    std::lock_guard requestLock(pending->request->mutex);
    pending->request->reply = std::move(reply);
  }
  MHD_resume_connection(pending->connection);
}

}  // namespace

// One open event stream: what its page has seen, and the text not yet sent.
struct Server::Stream {
  Server* server = nullptr;
  MHD_Connection* connection = nullptr;
  std::map<std::string, std::uint64_t> seen;
  std::string pending = "retry: 1000\n\n";  // a page whose stream broke reconnects quickly
  std::size_t sent = 0;
  std::uint64_t wokenAt = 0;  // the hub's version when the stream last looked; 0: never
  bool woken = false;         // resumed by the keep-alive or news since it last suspended
};

Server::Server(WebFiles files, Hub& hub, MainThreadQueue& queue, Actions actions, Limits limits)
    : files_(std::move(files)),
      hub_(hub),
      queue_(queue),
      actions_(std::move(actions)),
      limits_(limits),
      handed_(std::make_shared<Handed>()) {}

Server::~Server() {
  stop();
}

Result<> Server::start(int port, const std::string& token) {
  int fd = -1;
  if (port == 0) {
    fd = listenOn(0);
  } else {
    for (int p = port; p < port + kPortsTried && p <= 65535 && fd < 0; ++p) {
      fd = listenOn(p);
      if (fd < 0 && errno == EADDRINUSE) taken_.push_back(p);
      if (fd < 0 && errno != EADDRINUSE) break;
    }
  }
  if (fd < 0) {
    const std::string why = std::strerror(errno);
    if (port != 0 && errno == EADDRINUSE) {
      return failed("cannot listen on 127.0.0.1: ports " + std::to_string(port) + " to " +
                    std::to_string(std::min(port + kPortsTried - 1, 65535)) + " are all taken");
    }
    return failed("cannot listen on 127.0.0.1: " + why);
  }
  const auto id = newToken();
  if (!id) {
    ::close(fd);
    return failed("cannot make the studio's id: the kernel's random source failed");
  }
  startId_ = id->substr(0, 16);
  address_ = Address{boundPort(fd), token};
  listener_ = fd;

  const auto access =
      +[](void* self, MHD_Connection* connection, const char* url, const char* method, const char*,
          const char* upload, std::size_t* uploadSize, void** context) -> MHD_Result {
    try {
      return static_cast<Server*>(self)->handle(connection, url, method, upload, uploadSize,
                                                context) != 0
                 ? MHD_YES
                 : MHD_NO;
    } catch (...) {
      return MHD_NO;  // the connection ends; the server goes on
    }
  };
  // A request has been answered: the next one on the connection gets the same deadline for its
  // headers (the connection closing removes it again).
  const auto completed =
      +[](void* self, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
        delete static_cast<Request*>(*context);
        *context = nullptr;
        auto& server = *static_cast<Server*>(self);
        std::lock_guard lock(server.arrivingMutex_);
        server.arriving_[connection] = std::chrono::steady_clock::now();
      };
  // The daemon says when a connection starts and, before it closes its socket, when it ends.
  const auto notify =
      +[](void* self, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
        auto& server = *static_cast<Server*>(self);
        std::lock_guard lock(server.arrivingMutex_);
        if (code != MHD_CONNECTION_NOTIFY_STARTED) {
          server.arriving_.erase(connection);
          server.tokenless_.erase(connection);
          return;
        }
        const auto now = std::chrono::steady_clock::now();
        server.arriving_[connection] = now;
        // One token-less connection too many: the oldest of them ends, never this newest one,
        // so that the page's own next connection always gets in.
        if (server.tokenless_.size() >= server.limits_.tokenless) {
          const auto oldest =
              std::min_element(server.tokenless_.begin(), server.tokenless_.end(),
                               [](const auto& a, const auto& b) { return a.second < b.second; });
          if (oldest != server.tokenless_.end()) {
            cutOff(oldest->first);
            server.arriving_.erase(oldest->first);
            server.tokenless_.erase(oldest);
          }
        }
        server.tokenless_[connection] = now;
      };
  // A connection shows the token in its request line: it is no longer token-less from there
  // on, so a page's connection whose headers are still on their way keeps its place in a burst of
  // token-less ones. Whether the request may go on is decided once its headers are in.
  const auto requestLine = +[](void* self, const char* uri, MHD_Connection* connection) -> void* {
    auto& server = *static_cast<Server*>(self);
    if (uri != nullptr && carriesToken(server.address_, uri)) {
      std::lock_guard lock(server.arrivingMutex_);
      server.tokenless_.erase(connection);
    }
    return nullptr;  // the request's context, which handle() makes
  };
  daemon_ = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, access, this,
      MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, limits_.connections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits_.connectionsPerClient,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.requestMemory, MHD_OPTION_CONNECTION_TIMEOUT,
      limits_.idleSeconds, MHD_OPTION_NOTIFY_COMPLETED, completed, this,
      MHD_OPTION_NOTIFY_CONNECTION, notify, this, MHD_OPTION_URI_LOG_CALLBACK, requestLine, this,
      MHD_OPTION_END);
  if (daemon_ == nullptr) {
    ::close(fd);
    listener_ = -1;
    return failed("cannot start the studio's server");
  }
  // One thread for every open stream: it wakes the suspended ones on news, and for a comment
  // now and then, so that a page sees a dead studio and a dead page is noticed.
  // The same thread cuts off connections that take too long over their headers.
  waker_ = std::thread([this] {
    const auto tick =
        std::min({limits_.keepAlive, limits_.headerDeadline / 4, limits_.tokenlessLife / 4});
    std::uint64_t seen = hub_.version();
    auto lastKeepAlive = std::chrono::steady_clock::now();
    for (;;) {
      hub_.waitPast(seen, tick);
      {
        std::lock_guard lock(streamsMutex_);
        if (stopping_) return;
      }
      cutOffSlowHeaders();
      const auto now = std::chrono::steady_clock::now();
      const bool news = hub_.version() != seen;
      seen = hub_.version();
      if (news || now - lastKeepAlive >= limits_.keepAlive || hub_.closed()) {
        lastKeepAlive = now;
        wakeStreams();
      }
      if (hub_.closed()) return;
    }
  });
  return {};
}

void Server::cutOff(MHD_Connection* connection) {
  // The socket is still open: the daemon removes the connection from the maps, under
  // arrivingMutex_, before it closes it. The daemon then sees the connection end, as if the
  // client had left.
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info != nullptr) ::shutdown(info->connect_fd, SHUT_RDWR);
}

void Server::cutOffSlowHeaders() {
  const auto now = std::chrono::steady_clock::now();
  const auto overdue = now - limits_.headerDeadline;
  const auto tooOld = now - limits_.tokenlessLife;
  std::lock_guard lock(arrivingMutex_);
  for (auto it = arriving_.begin(); it != arriving_.end();) {
    if (it->second > overdue) {
      ++it;
      continue;
    }
    cutOff(it->first);
    tokenless_.erase(it->first);
    it = arriving_.erase(it);
  }
  // However it trickles or repeats its requests, a connection that never shows the token does
  // not stay.
  for (auto it = tokenless_.begin(); it != tokenless_.end();) {
    if (it->second > tooOld) {
      ++it;
      continue;
    }
    cutOff(it->first);
    arriving_.erase(it->first);
    it = tokenless_.erase(it);
  }
}

void Server::wakeStreams() {
  std::lock_guard lock(streamsMutex_);
  for (Stream* stream : suspended_) {
    stream->woken = true;
    MHD_resume_connection(stream->connection);
  }
  suspended_.clear();
}

void Server::stop() {
  if (daemon_ == nullptr) return;
  // Every suspended connection must be running again before the daemon may stop: waiting
  // changes get their 503 from the closed queue, changes still being made get theirs here, and
  // streams end at their next read.
  queue_.close();
  std::vector<std::shared_ptr<Pending>> left;
  {
    std::lock_guard lock(handed_->mutex);
    left = handed_->waiting;
  }
  for (const auto& pending : left) {
    finish(*handed_, pending, {503, errorJson("the studio is stopping")});
  }
  {
    std::lock_guard lock(streamsMutex_);
    stopping_ = true;
  }
  // The hub is its owner's to close (another server may be serving it); the waker's wait ends
  // now, and as the version it waits past is read before it looks at stopping_, it sees it.
  hub_.wake();
  if (waker_.joinable()) waker_.join();
  wakeStreams();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  listener_ = -1;  // closed by the daemon
}

ssize_t Server::streamRead(Stream& stream, char* buffer, std::size_t max) {
  if (stream.sent == stream.pending.size()) {
    stream.pending.clear();
    stream.sent = 0;
    std::lock_guard lock(streamsMutex_);
    if (stopping_ || hub_.closed()) return MHD_CONTENT_READER_END_OF_STREAM;
    stream.pending = hub_.newsSince(stream.seen);
    if (stream.pending.empty() && stream.woken) stream.pending = ": still here\n\n";
    stream.woken = false;
    if (stream.pending.empty()) {
      // Nothing to say: the connection waits off the event loop until the waker resumes it.
      // Checking for news and suspending under the lock the waker takes means no news slips by.
      MHD_suspend_connection(stream.connection);
      suspended_.push_back(&stream);
      return 0;
    }
  }
  const std::size_t n = std::min(max, stream.pending.size() - stream.sent);
  std::memcpy(buffer, stream.pending.data() + stream.sent, n);
  stream.sent += n;
  return static_cast<ssize_t>(n);
}

int Server::handle(MHD_Connection* connection, const char* url, const char* method,
                   const char* upload, std::size_t* uploadSize, void** context) {
  const bool isPost = std::strcmp(method, "POST") == 0;
  if (*context == nullptr) {
    // The request line and headers are in: refuse what may not reach the studio before
    // reading a byte of its body.
    const auto why = refusal(address_, header(connection, "Host").value_or(""),
                             header(connection, "Origin"), url);
    {
      std::lock_guard lock(arrivingMutex_);
      arriving_.erase(connection);  // its headers are in
      if (!why) tokenless_.erase(connection);
    }
    if (why) {
      // A token-less connection is short-lived: it ends with this answer.
      return queue(connection, {403, *why + "\n", "text/plain; charset=utf-8", {}, true}, startId_);
    }
    auto* request = new Request;
    *context = request;
    request->limit = maxBody(std::string_view(url).substr(address_.prefix().size()));
    const auto length = header(connection, "Content-Length");
    if (isPost && length &&
        (length->size() > 12 || length->find_first_not_of("0123456789") != std::string::npos ||
         std::stoull("0" + *length) > request->limit)) {
      return queue(connection, {413, tooLargeJson(request->limit)}, startId_);
    }
    return 1;
  }
  Request& request = *static_cast<Request*>(*context);
  if (*uploadSize != 0) {
    if (request.body.size() + *uploadSize > request.limit) request.tooLarge = true;
    if (!request.tooLarge) request.body.append(upload, *uploadSize);
    *uploadSize = 0;
    return 1;
  }
  if (request.submitted) {  // resumed: the main thread has answered
    std::lock_guard lock(request.mutex);
    return queue(connection, request.reply.value_or(Reply{503, errorJson("no answer")}), startId_);
  }
  if (request.tooLarge) return queue(connection, {413, tooLargeJson(request.limit)}, startId_);
  return answer(connection, url, method, request);
}

// Hands WORK to the main thread; the connection waits, off the event loop, for its answer, which
// may come later than the work's return.
int Server::handOver(MHD_Connection* connection, Request& request,
                     std::function<void(Answer)> work) {
  request.submitted = true;
  MHD_suspend_connection(connection);
  auto pending = std::make_shared<Pending>(Pending{connection, &request, false});
  {
    std::lock_guard lock(handed_->mutex);
    handed_->waiting.push_back(pending);
  }
  queue_.submitAnswering(std::move(work), [handed = handed_, pending](Reply reply) {
    finish(*handed, pending, std::move(reply));
  });
  return 1;
}

int Server::answer(MHD_Connection* connection, std::string_view url, const char* method,
                   Request& request) {
  const std::string prefix = address_.prefix();
  const bool isGet = std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0;
  const bool isPost = std::strcmp(method, "POST") == 0;
  const std::string_view path = url.substr(prefix.size());  // refusal() checked the prefix

  if (path.empty()) {
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    secure(response, startId_);
    MHD_add_response_header(response, "Location", (prefix + "/").c_str());
    const MHD_Result queued = MHD_queue_response(connection, 302, response);
    MHD_destroy_response(response);
    return queued;
  }
  const std::map<std::string_view, std::pair<const std::string*, const char*>> files = {
      {"/", {&files_.html, "text/html; charset=utf-8"}},
      {"/studio.css", {&files_.css, "text/css; charset=utf-8"}},
      {"/studio.js", {&files_.js, "text/javascript; charset=utf-8"}},
      {"/api/layout", {&files_.layout, "application/json"}},
  };
  using Action = std::function<void(const std::string&, Answer)> Actions::*;
  const std::map<std::string_view, Action> posts = {
      {"/api/set", &Actions::set},           {"/api/tap", &Actions::tap},
      {"/api/respring", &Actions::respring}, {"/api/device", &Actions::device},
      {"/api/springboard", &Actions::start}, {"/api/undo", &Actions::undo},
      {"/api/reset", &Actions::reset},
  };
  const bool known = files.contains(path) || posts.contains(path) || path == "/api/state" ||
                     path == "/api/events" || path == "/api/profile" || path == "/api/preview";
  if (!known) {
    return queue(connection, {404, errorJson("the studio has nothing at " + std::string(url))},
                 startId_);
  }
  if (posts.contains(path) || path == "/api/preview" ? !isPost : !isGet) {
    return queue(connection,
                 {405, errorJson("the studio does not take " + std::string(method) + " here")},
                 startId_);
  }
  if (const auto file = files.find(path); file != files.end()) {
    return queue(connection, {200, *file->second.first, file->second.second}, startId_);
  }
  if (path == "/api/state") return queue(connection, {200, hub_.snapshot()}, startId_);
  if (path == "/api/profile") {
    if (!actions_.profile) return queue(connection, {404, errorJson("no profile here")}, startId_);
    return handOver(connection, request, actions_.profile);
  }
  if (path == "/api/events") {
    auto* stream = new Stream;
    stream->server = this;
    stream->connection = connection;
    const auto read = +[](void* self, std::uint64_t, char* buffer, std::size_t max) -> ssize_t {
      auto& s = *static_cast<Stream*>(self);
      try {
        return s.server->streamRead(s, buffer, max);
      } catch (...) {
        return MHD_CONTENT_READER_END_WITH_ERROR;
      }
    };
    const auto free = +[](void* self) { delete static_cast<Stream*>(self); };
    MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 8192, read, stream, free);
    if (response == nullptr) {
      delete stream;
      return 0;
    }
    secure(response, startId_);
    MHD_add_response_header(response, "Content-Type", "text/event-stream");
    const MHD_Result queued = MHD_queue_response(connection, 200, response);
    MHD_destroy_response(response);
    return queued;
  }
  const std::string type = header(connection, "Content-Type").value_or("");
  if (path == "/api/preview") {
    // The profile's own bytes, as a property list: a type no page of another site may send
    // without asking first.
    if (type.rfind("application/x-plist", 0) != 0) {
      return queue(connection,
                   {415, errorJson("the request body must be a property list (Content-Type: "
                                   "application/x-plist)")},
                   startId_);
    }
    if (!actions_.preview) return queue(connection, {404, errorJson("no preview here")}, startId_);
    const char* name = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "name");
    return handOver(
        connection, request,
        [this, name = std::string(name != nullptr ? name : ""), body = std::move(request.body)](
            const Answer& answer) { actions_.preview(name, body, answer); });
  }
  if (type.rfind("application/json", 0) != 0) {
    return queue(connection,
                 {415, errorJson("the request body must be JSON (Content-Type: application/json)")},
                 startId_);
  }
  const auto& handler = actions_.*(posts.at(path));
  if (!handler)
    return queue(connection, {404, errorJson("the studio has nothing at " + std::string(url))},
                 startId_);
  return handOver(
      connection, request,
      [&handler, body = std::move(request.body)](const Answer& answer) { handler(body, answer); });
}

}  // namespace vyr::studio
