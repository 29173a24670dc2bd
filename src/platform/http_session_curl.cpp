// The shared HTTP session on libcurl: one background thread drives a multi handle, so
// connections are reused across requests and no host thread ever waits on the network.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/curl_global.hpp"
#include "platform/fork_safe.hpp"
#include "platform/http_session.hpp"
#include "platform/http_url.hpp"
#include "platform/log.hpp"
#include "platform/threads.hpp"

namespace quillstone::platform {
namespace {

// Like the platform sessions apps are used to: at most six connections to one host; further
// requests wait in order for a free one.
constexpr long kMaxConnectionsPerHost = 6;
// Finished easy handles kept for the next requests: enough for one host's connections.
constexpr std::size_t kPooledHandles = 8;
// A reply whose body is kept may not be larger than this: it is refused rather than held in
// the host's memory.
constexpr std::size_t kMaxResponseBytes = 4 * 1024 * 1024;
// A transfer slower than this many bytes per second for the request's timeout has stalled.
constexpr long kStalledBytesPerSecond = 1;
constexpr long kMillisPerSecond = 1000;
// How long the exit handler waits for the session thread to leave libcurl.
constexpr auto kExitWait = std::chrono::seconds(2);
constexpr int kPollMillis = 1000;
// Drops this close together are one burst, told in one console line once it is over; a burst that
// goes on is told at this interval.
constexpr auto kDropBurstQuiet = std::chrono::seconds(1);
constexpr auto kDropBurstLine = std::chrono::seconds(10);
constexpr std::string_view kLogDropped = "[qs] 待发送的报告过多,已丢弃最早的 ";
// Memory a waiting request holds besides its text: its record, its place in a queue and the
// allocator's rounding. Its URL and headers are shared with the other requests to the same
// endpoint but counted with each all the same (measured: an event of 260 bytes holds about 365
// bytes in use, against about 440 counted).
constexpr std::size_t kWaitingOverheadBytes = 128;
// Endpoints remembered for sharing: a process sends to a handful of them.
constexpr std::size_t kSharedEndpoints = 8;
// Ended requests kept for the host's next report to free (see retire()), at most.
constexpr std::size_t kMaxRetired = 4096;
constexpr std::size_t kMaxRetiredBytes = 2 * 1024 * 1024;

// Everything of a request but its body: the same for every report to one server, so the
// requests to it share one record rather than each holding its own copies.
struct Endpoint {
  std::string url;
  std::string method;
  std::vector<std::pair<std::string, std::string>> headers;
  std::chrono::milliseconds timeout{};
  bool keepResponseBody = false;
  bool droppable = false;
  const void* sender = nullptr;
  // Redirects followed to reach this URL.
  int redirects = 0;
  // "scheme://authority" of the URL: the key connections are shared under.
  std::string origin;
  // The header lines as libcurl takes them, built once for all requests by the session's thread
  // (on the host's, libcurl might not be initialised yet) and touched by no other.
  mutable curl_slist* headerList = nullptr;
  // What the URL and headers count against kMaxWaitingBytes.
  std::size_t textBytes = 0;
  // The requests and the shared list that hold it (see EndpointRef).
  mutable std::atomic<std::uint32_t> holders{0};

  Endpoint() = default;
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;
  ~Endpoint() { curl_slist_free_all(headerList); }

  // Whether a request to this endpoint may share it.
  bool fits(const HttpRequest& request) const {
    return redirects == 0 && url == request.url && method == request.method &&
           headers == request.headers && timeout == request.timeout &&
           keepResponseBody == request.keepResponseBody && droppable == request.droppable &&
           sender == request.sender;
  }
};

// A counted hold on an endpoint: one word where a shared_ptr takes two, since every waiting
// request holds one. Held on the host's threads and the session's alike.
class EndpointRef {
 public:
  EndpointRef() noexcept = default;
  EndpointRef(std::nullptr_t) noexcept {}  // implicit, as for shared_ptr
  // Takes the first hold on an endpoint no one holds yet.
  explicit EndpointRef(std::unique_ptr<Endpoint> endpoint) noexcept
      : endpoint_(endpoint.release()) {
    hold();
  }
  EndpointRef(const EndpointRef& other) noexcept : endpoint_(other.endpoint_) { hold(); }
  EndpointRef(EndpointRef&& other) noexcept : endpoint_(std::exchange(other.endpoint_, nullptr)) {}
  EndpointRef& operator=(EndpointRef other) noexcept {
    std::swap(endpoint_, other.endpoint_);
    return *this;
  }
  ~EndpointRef() { reset(); }

  void reset() noexcept {
    const Endpoint* endpoint = std::exchange(endpoint_, nullptr);
    if (endpoint != nullptr && endpoint->holders.fetch_sub(1, std::memory_order_acq_rel) == 1)
      delete endpoint;
  }
  const Endpoint* operator->() const noexcept { return endpoint_; }
  const Endpoint& operator*() const noexcept { return *endpoint_; }
  explicit operator bool() const noexcept { return endpoint_ != nullptr; }

 private:
  void hold() noexcept {
    if (endpoint_ != nullptr) endpoint_->holders.fetch_add(1, std::memory_order_relaxed);
  }
  const Endpoint* endpoint_ = nullptr;
};

// A request while it waits: its endpoint, its body and its completion, nothing more.
struct Transfer {
  EndpointRef endpoint;
  std::string body;
  HttpSession::Completion completion;
  // One word, as every waiting request holds it: while it waits for a connection, its place in
  // the order of all waiting requests; once ended, the next of the ended requests kept to be
  // freed together.
  union {
    std::uint64_t sequence = 0;
    Transfer* nextRetired;
  };
};

// With its 8-byte header the allocator gives a record of up to 72 bytes an 80-byte chunk, the
// next 16 bytes larger a 96-byte one: what each waiting request holds besides its body.
static_assert(sizeof(Transfer) <= 72, "a waiting request's record grew into a larger chunk");

// A body that holds no more than its text, as a waiting request should. Trimmed on the thread
// that wrote it: on the session's thread, freeing the larger buffer would take the lock of the
// writer's allocator arena (see retire()).
std::string exactly(std::string body) {
  if (body.capacity() > body.size()) body.shrink_to_fit();
  return body;
}

// Frees a list of ended requests.
void freeRetired(Transfer* head) noexcept {
  while (head != nullptr) delete std::exchange(head, head->nextRetired);
}

// What the request counts against the waiting bounds: the same as waitingBytes() of the request
// it was made from.
std::size_t countedBytes(const Transfer& transfer) {
  return kWaitingOverheadBytes + transfer.endpoint->textBytes + transfer.body.size();
}

// What only a running request needs, allocated when it starts and freed when it ends.
struct Running {
  std::unique_ptr<Transfer> transfer;
  std::string responseBody;
  char error[CURL_ERROR_SIZE] = {};
};

// Drops counted into one console line per burst. Touched only on the session's thread.
class DropNotice {
 public:
  using Clock = std::chrono::steady_clock;
  void count(Clock::time_point now, std::uint64_t drops = 1) {
    if (drops == 0) return;
    if (unreported_ == 0) burstStart_ = now;
    unreported_ += drops;
    lastDrop_ = now;
  }
  // Writes the line once the burst is over, or at intervals while it goes on.
  void tell(Clock::time_point now) {
    if (unreported_ == 0) return;
    if (now - lastDrop_ < kDropBurstQuiet && now - burstStart_ < kDropBurstLine) return;
    systemLog().write(std::string(kLogDropped) + std::to_string(unreported_));
    unreported_ = 0;
    burstStart_ = now;
  }

 private:
  std::uint64_t unreported_ = 0;
  Clock::time_point burstStart_;
  Clock::time_point lastDrop_;
};

// Requests to one origin: how many run now, and the rest in the order they came.
struct HostLane {
  long running = 0;
  std::deque<std::unique_ptr<Transfer>> waiting;
};

// "scheme://authority" of `url`: the key connections are shared under.
std::string originOf(const std::string& url) {
  const auto scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const auto end = url.find_first_of("/?#", scheme + 3);
  return url.substr(0, end);
}

// Fills in what is derived from the endpoint's URL and headers.
void prepare(Endpoint& endpoint) {
  endpoint.origin = originOf(endpoint.url);
  endpoint.textBytes = endpoint.url.size();
  for (const auto& [name, value] : endpoint.headers)
    endpoint.textBytes += name.size() + value.size();
}

// The endpoint's header lines, built on the session's thread at its first request.
const curl_slist* headerLines(const Endpoint& endpoint) {
  if (endpoint.headerList != nullptr) return endpoint.headerList;
  // Only the caller's headers: no "Accept", and no "Expect: 100-continue" round trip.
  curl_slist* list = curl_slist_append(nullptr, "Accept:");
  list = curl_slist_append(list, "Expect:");
  for (const auto& [name, value] : endpoint.headers)
    list = curl_slist_append(list, (name + ": " + value).c_str());
  endpoint.headerList = list;
  return list;
}

EndpointRef makeEndpoint(HttpRequest& request) {
  auto endpoint = std::make_unique<Endpoint>();
  endpoint->url = std::move(request.url);
  endpoint->method = std::move(request.method);
  endpoint->headers = std::move(request.headers);
  endpoint->timeout = request.timeout;
  endpoint->keepResponseBody = request.keepResponseBody;
  endpoint->droppable = request.droppable;
  endpoint->sender = request.sender;
  prepare(*endpoint);
  return EndpointRef(std::move(endpoint));
}

// The same endpoint at the URL a redirect sends it to.
EndpointRef redirected(const Endpoint& from, std::string url) {
  auto endpoint = std::make_unique<Endpoint>();
  endpoint->url = std::move(url);
  endpoint->method = from.method;
  endpoint->headers = from.headers;
  endpoint->timeout = from.timeout;
  endpoint->keepResponseBody = from.keepResponseBody;
  endpoint->droppable = from.droppable;
  endpoint->sender = from.sender;
  endpoint->redirects = from.redirects + 1;
  prepare(*endpoint);
  return EndpointRef(std::move(endpoint));
}

struct Job {
  std::unique_ptr<Transfer> transfer;  // a request, or
  std::function<void()> task;          // a task to run on the session's thread
};

// A post's reply body is of no use to anyone: it is dropped as it arrives, whatever its size.
std::size_t discardBody(char*, std::size_t size, std::size_t count, void*) { return size * count; }

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* running = static_cast<Running*>(user);
  const std::size_t bytes = size * count;
  if (running->responseBody.size() + bytes > kMaxResponseBytes) return 0;  // aborts the transfer
  running->responseBody.append(data, bytes);
  return bytes;
}

void complete(HttpSession::Completion& completion, HttpResponse response) {
  try {
    if (completion) completion(std::move(response));
  } catch (...) {
    // A completion's failure must not take the session thread down.
  }
}

// Registers, once per process and its forks, the handler that takes the session thread out of
// libcurl at exit.
void registerExitHandler() noexcept;

class CurlHttpSession final : public HttpSession {
 public:
  // libcurl is initialised and the multi handle made on the session's own thread, at its start:
  // the host's thread only queues.
  CurlHttpSession() = default;

  void start(HttpRequest request, Completion completion) override {
    auto transfer = std::make_unique<Transfer>();
    transfer->endpoint = sharedEndpoint(request);
    transfer->body = exactly(std::move(request.body));
    transfer->completion = std::move(completion);
    enqueue(Job{std::move(transfer), {}});
  }

  void startLike(const HttpRequest& like, std::string body, Completion completion) override {
    auto transfer = std::make_unique<Transfer>();
    transfer->endpoint = knownEndpoint(like);
    if (!transfer->endpoint) {
      HttpRequest copy = like;
      transfer->endpoint = sharedEndpoint(copy);
    }
    transfer->body = exactly(std::move(body));
    transfer->completion = std::move(completion);
    enqueue(Job{std::move(transfer), {}});
  }

  void dispatch(std::function<void()> task) override { enqueue(Job{nullptr, std::move(task)}); }

  void dropWaiting(const void* sender) override {
    if (sender == nullptr) return;
    // Requests the session has not taken up yet leave the queue here, so none of them starts in
    // the meantime; their completions, like all others, run on the session's thread.
    auto taken = std::make_shared<std::vector<std::unique_ptr<Transfer>>>();
    {
      std::lock_guard lock(mutex_);
      for (auto& job : queue_) {
        if (!job.transfer || job.transfer->endpoint->sender != sender) continue;
        if (job.transfer->endpoint->droppable) {
          --queuedCount_;
          queuedBytes_ -= countedBytes(*job.transfer);
        }
        taken->push_back(std::move(job.transfer));
      }
      std::erase_if(queue_, [](const Job& job) { return !job.transfer && !job.task; });
      queueChecked_ = 0;
    }
    dispatch([this, sender, taken] {
      for (auto& transfer : *taken) completeDropped(transfer->completion);
      dropWaitingOf(sender);
    });
  }

  // Runs at exit: the session thread leaves libcurl before the libraries' own exit handlers
  // tear down what it uses. Requests still in flight are abandoned with the process.
  void stopForExit() {
    std::unique_lock lock(mutex_);
    if (!started_ || stopping_) return;
    stopping_ = true;
    CURLM* const multi = multi_;
    lock.unlock();
    if (multi != nullptr) curl_multi_wakeup(multi);
    lock.lock();
    if (std::this_thread::get_id() == threadId_) return;
    parkedChanged_.wait_for(lock, kExitWait, [this] { return parked_; });
  }

 private:
  // The endpoint the request's URL, headers and settings make, shared with earlier requests that
  // had the same. Touches only the request's fields it takes over.
  EndpointRef sharedEndpoint(HttpRequest& request) {
    if (auto known = knownEndpoint(request)) return known;
    auto endpoint = makeEndpoint(request);
    std::lock_guard lock(endpointsLock_);
    if (endpoints_.size() == kSharedEndpoints) endpoints_.erase(endpoints_.begin());
    endpoints_.push_back(endpoint);
    return endpoint;
  }

  // The endpoint made earlier for requests like `request`, if any.
  EndpointRef knownEndpoint(const HttpRequest& request) {
    std::lock_guard lock(endpointsLock_);
    for (const auto& endpoint : endpoints_) {
      if (endpoint->fits(request)) return endpoint;
    }
    return nullptr;
  }

  void enqueue(Job job) {
    CURLM* wake = nullptr;
    std::vector<std::unique_ptr<Transfer>> doomed;  // completed after the lock
    Transfer* retired = nullptr;                    // freed after the lock
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      retired = std::exchange(forHost_, nullptr);
      // Only the job that finds the queue empty wakes the thread: until the thread takes the
      // queue, that wake-up is still pending for every job queued behind it. Waking a thread is
      // a system call and a context switch on the host's thread, the dearest part of a report.
      // Before the thread has made its multi handle there is nothing to wake: it takes the queue
      // up as soon as the handle is made.
      if (queue_.empty()) wake = multi_;
      if (job.transfer && job.transfer->endpoint->droppable) {
        ++queuedCount_;
        queuedBytes_ += countedBytes(*job.transfer);
      }
      queue_.push_back(std::move(job));
      keepQueueBounded(doomed);
      if (!started_) startThread();
    }
    if (wake != nullptr) curl_multi_wakeup(wake);
    freeRetired(retired);
    if (doomed.empty()) return;
    handOffDrops_.fetch_add(doomed.size(), std::memory_order_relaxed);
    for (auto& transfer : doomed) completeDropped(transfer->completion);
  }

  // Called with mutex_ held. A host that reports faster than the session's thread takes the
  // queue up must not grow it without end either. Once the queue alone holds more than may wait,
  // its oldest droppable requests would be dropped as the oldest waiting anyway: they are taken
  // out here and completed at once by the thread handing over, outside the lock. Left for the
  // session's thread, their completions alone would pile up for as long as that thread is kept
  // from running.
  void keepQueueBounded(std::vector<std::unique_ptr<Transfer>>& doomed) {
    while (queuedCount_ > kMaxWaitingRequests || queuedBytes_ > kMaxWaitingBytes) {
      while (queueChecked_ < queue_.size()) {
        const Job& job = queue_[queueChecked_];
        if (job.transfer && job.transfer->endpoint->droppable) break;
        ++queueChecked_;
      }
      if (queueChecked_ == queue_.size()) return;
      const auto at = queue_.begin() + static_cast<std::ptrdiff_t>(queueChecked_);
      --queuedCount_;
      queuedBytes_ -= countedBytes(*at->transfer);
      doomed.push_back(std::move(at->transfer));
      // Only the requests before it, none of them droppable, move to close the gap.
      queue_.erase(at);
    }
  }

  // Called with mutex_ held.
  void startThread() {
    started_ = true;
    std::thread thread = startLibraryThread("qs-http", [this] { run(); });
    threadId_ = thread.get_id();
    thread.detach();
  }

  void run() {
    markNetworkThread();
    initialiseCurl();
    registerExitHandler();
    CURLM* const multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxConnectionsPerHost);
    {
      std::lock_guard lock(mutex_);
      multi_ = multi;
    }
    Transfer* retiredHere = nullptr;
    for (;;) {
      std::deque<Job> jobs;
      {
        std::unique_lock lock(mutex_);
        if (stopping_) {
          parked_ = true;
          parkedChanged_.notify_all();
          // Parked for good, until the process ends. A thread that ended here would run its
          // exit-time clean-ups (the TLS library's among them, which take that library's locks)
          // while the exiting thread tears the same library down.
          for (;;) parkedChanged_.wait(lock);
        }
        jobs.swap(queue_);
        queuedCount_ = 0;
        queuedBytes_ = 0;
        queueChecked_ = 0;
        if (jobs.empty()) {
          // Nobody is reporting now: what was kept for the host to free is freed here.
          retiredHere = std::exchange(forHost_, nullptr);
        } else if (forHost_ == nullptr) {
          forHost_ = std::exchange(retired_, nullptr);
          retiredCount_ = 0;
          retiredBytes_ = 0;
        }
      }
      freeRetired(std::exchange(retiredHere, nullptr));
      if (jobs.empty()) {
        freeRetired(std::exchange(retired_, nullptr));
        retiredCount_ = 0;
        retiredBytes_ = 0;
      }
      for (auto& job : jobs) {
        if (job.transfer) {
          add(std::move(job.transfer));
        } else {
          runTask(job.task);
        }
      }
      int running = 0;
      curl_multi_perform(multi_, &running);
      finishCompleted();
      const auto now = DropNotice::Clock::now();
      drops_.count(now, handOffDrops_.exchange(0, std::memory_order_relaxed));
      drops_.tell(now);
      curl_multi_poll(multi_, nullptr, 0, kPollMillis, nullptr);
    }
  }

  static void runTask(std::function<void()>& task) {
    try {
      task();
    } catch (...) {
    }
  }

  // Requests beyond the per-host connection cap wait here, in order, rather than as easy
  // handles inside curl: a waiting request then costs only its own bytes, not a handle's
  // buffers, and the same requests run at once as when curl queued them itself.
  void add(std::unique_ptr<Transfer> transfer) {
    auto& lane = lanes_[transfer->endpoint->origin];
    if (lane.running >= kMaxConnectionsPerHost) {
      transfer->sequence = nextSequence_++;
      ++waitingCount_;
      waitingBytes_ += countedBytes(*transfer);
      lane.waiting.push_back(std::move(transfer));
      keepWaitingBounded();
      return;
    }
    ++lane.running;
    begin(std::move(transfer));
  }

  // Starts the next waiting request of `origin` in place of one that ended. Lanes are never
  // erased: a process talks to a handful of origins, and a lane stays valid under recursion.
  void advance(const std::string& origin) {
    const auto it = lanes_.find(origin);
    if (it == lanes_.end()) return;
    auto& lane = it->second;
    --lane.running;
    while (!lane.waiting.empty() && lane.running < kMaxConnectionsPerHost) {
      auto next = std::move(lane.waiting.front());
      lane.waiting.pop_front();
      stopWaiting(*next);
      ++lane.running;
      begin(std::move(next));
    }
  }

  void stopWaiting(const Transfer& transfer) {
    --waitingCount_;
    waitingBytes_ -= countedBytes(transfer);
  }

  // Drops the oldest droppable waiting requests, in all lanes, until the bounds hold again; what
  // may not be dropped stays even beyond them.
  void keepWaitingBounded() {
    while (waitingCount_ > kMaxWaitingRequests || waitingBytes_ > kMaxWaitingBytes) {
      HostLane* oldestLane = nullptr;
      std::deque<std::unique_ptr<Transfer>>::iterator oldest;
      for (auto& [origin, lane] : lanes_) {
        const auto it = std::find_if(lane.waiting.begin(), lane.waiting.end(),
                                     [](const auto& t) { return t->endpoint->droppable; });
        if (it == lane.waiting.end()) continue;
        if (oldestLane == nullptr || (*it)->sequence < (*oldest)->sequence) {
          oldestLane = &lane;
          oldest = it;
        }
      }
      if (oldestLane == nullptr) return;
      auto dropped = std::move(*oldest);
      oldestLane->waiting.erase(oldest);
      stopWaiting(*dropped);
      drops_.count(DropNotice::Clock::now());
      completeDropped(dropped->completion);
      retire(std::move(dropped));
    }
  }

  void dropWaitingOf(const void* sender) {
    for (auto& [origin, lane] : lanes_) {
      std::vector<std::unique_ptr<Transfer>> dropped;
      for (auto it = lane.waiting.begin(); it != lane.waiting.end();) {
        if ((*it)->endpoint->sender != sender) {
          ++it;
          continue;
        }
        stopWaiting(**it);
        dropped.push_back(std::move(*it));
        it = lane.waiting.erase(it);
      }
      // After the lane is consistent: a completion may start new requests.
      for (auto& transfer : dropped) completeDropped(transfer->completion);
    }
  }

  static void completeDropped(Completion& completion) {
    HttpResponse response;
    response.dropped = true;
    complete(completion, std::move(response));
  }

  CURL* takeHandle() {
    if (idle_.empty()) return curl_easy_init();
    CURL* easy = idle_.back();
    idle_.pop_back();
    curl_easy_reset(easy);
    return easy;
  }

  void returnHandle(CURL* easy) {
    if (idle_.size() < kPooledHandles) {
      idle_.push_back(easy);
    } else {
      curl_easy_cleanup(easy);
    }
  }

  // Ends a request that never reached curl.
  void fail(std::unique_ptr<Transfer> transfer, std::string error) {
    const auto endpoint = transfer->endpoint;
    complete(transfer->completion, HttpResponse{false, 0, {}, std::move(error)});
    transfer.reset();
    advance(endpoint->origin);
  }

  // curl's whole-transfer timeout would cut a slow upload that still moves, and leave
  // connecting to its own 300 s default: the request's timeout bounds both, connecting and
  // standing still, instead.
  static void setTimeouts(CURL* easy, std::chrono::milliseconds timeout) {
    const long millis = std::max(1L, static_cast<long>(timeout.count()));
    const long seconds = (millis + kMillisPerSecond - 1) / kMillisPerSecond;
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, millis);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, kStalledBytesPerSecond);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, seconds);
  }

  void begin(std::unique_ptr<Transfer> transfer) {
    if (auto refusal = refusedUrl(transfer->endpoint->url)) {
      fail(std::move(transfer), std::move(*refusal));
      return;
    }
    CURL* easy = takeHandle();
    if (easy == nullptr) {
      fail(std::move(transfer), "out of memory");
      return;
    }
    auto running = std::make_unique<Running>();
    running->transfer = std::move(transfer);
    const Endpoint& endpoint = *running->transfer->endpoint;
    const std::string& body = running->transfer->body;
    curl_easy_setopt(easy, CURLOPT_URL, endpoint.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    setTimeouts(easy, endpoint.timeout);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, running->error);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION,
                     endpoint.keepResponseBody ? collectBody : discardBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, running.get());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, running.get());
    if (endpoint.method == "POST") {
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerLines(endpoint));
    running.release();  // owned by the easy handle until finish()
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) finish(easy, CURLE_FAILED_INIT);
  }

  void finishCompleted() {
    int remaining = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &remaining)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      const CURLcode result = message->data.result;
      curl_multi_remove_handle(multi_, easy);
      finish(easy, result);
    }
  }

  void finish(CURL* easy, CURLcode result) {
    Running* raw = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &raw);
    std::unique_ptr<Running> running(raw);
    std::unique_ptr<Transfer> transfer = std::move(running->transfer);
    HttpResponse response;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    response.isHttp = status > 0;
    response.status = status;
    if (result != CURLE_OK) {
      response.error = running->error[0] != '\0' ? running->error : curl_easy_strerror(result);
    }
    response.body = std::move(running->responseBody);
    running.reset();
    std::optional<std::string> next = nextHop(easy, *transfer->endpoint, response);
    returnHandle(easy);
    if (transfer->endpoint->redirects == 0 && neverReachedServer(result)) {
      response.neverSent = true;
      response.unsentBody = std::move(transfer->body);
    }
    const auto endpoint = transfer->endpoint;
    if (next) {
      // The same request, body and headers, to the new place; it frees its connection first.
      transfer->endpoint = redirected(*endpoint, std::move(*next));
      advance(endpoint->origin);
      add(std::move(transfer));
      return;
    }
    complete(transfer->completion, std::move(response));
    retire(std::move(transfer));
    advance(endpoint->origin);
  }

  // A request's record and body were allocated on the host's thread that reported it. Freed on
  // this thread, each would take the lock of the host thread's allocator arena while the host
  // thread allocates the next report from it, and a thread that finds that lock held sleeps
  // until woken by a system call: a fifth to a third of a report's cost on a busy host. So ended
  // requests are kept, within the bounds above, and the next thread that reports frees them
  // after the queue's lock; once nobody reports, this thread frees them itself.
  void retire(std::unique_ptr<Transfer> transfer) {
    if (retiredCount_ >= kMaxRetired || retiredBytes_ >= kMaxRetiredBytes) return;
    ++retiredCount_;
    retiredBytes_ += transfer->body.capacity();
    transfer->completion = nullptr;
    transfer->endpoint.reset();
    transfer->nextRetired = retired_;
    retired_ = transfer.release();
  }

  // Failures after which nothing of the request can have reached the server.
  static bool neverReachedServer(CURLcode result) {
    return result == CURLE_COULDNT_RESOLVE_HOST || result == CURLE_COULDNT_RESOLVE_PROXY ||
           result == CURLE_COULDNT_CONNECT;
  }

  // Where a 307 or 308 reply sends its request next; none for any other reply. A redirect
  // that may not be followed ends the request with an error, like any other transport failure.
  static std::optional<std::string> nextHop(CURL* easy, const Endpoint& endpoint,
                                            HttpResponse& response) {
    if (response.error || !isFollowedRedirect(response.status)) return std::nullopt;
    char* location = nullptr;
    curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &location);
    if (location == nullptr) return std::nullopt;
    if (endpoint.redirects >= kMaxRedirects) {
      response.error = curl_easy_strerror(CURLE_TOO_MANY_REDIRECTS);
      return std::nullopt;
    }
    if (auto refusal = refusedRedirect(endpoint.url, location)) {
      response.error = std::move(*refusal);
      return std::nullopt;
    }
    return std::string(location);
  }

  CURLM* multi_ = nullptr;
  std::mutex mutex_;
  std::condition_variable parkedChanged_;
  std::deque<Job> queue_;
  // Ended requests handed over for the next enqueue() to free.
  Transfer* forHost_ = nullptr;
  // The droppable requests in queue_, and how far from its front none is left to drop.
  std::size_t queuedCount_ = 0;
  std::size_t queuedBytes_ = 0;
  std::size_t queueChecked_ = 0;
  // Endpoints recently used, newest last; a request that finds its own shares it.
  std::mutex endpointsLock_;
  std::vector<EndpointRef> endpoints_;
  // Touched only on the session's thread.
  std::map<std::string, HostLane> lanes_;
  std::vector<CURL*> idle_;
  std::uint64_t nextSequence_ = 0;
  std::size_t waitingCount_ = 0;
  std::size_t waitingBytes_ = 0;
  // Ended requests not yet handed over.
  Transfer* retired_ = nullptr;
  std::size_t retiredCount_ = 0;
  std::size_t retiredBytes_ = 0;
  DropNotice drops_;
  // Requests dropped as they were handed over, not yet counted into drops_.
  std::atomic<std::uint64_t> handOffDrops_{0};
  std::thread::id threadId_;
  bool started_ = false;
  bool stopping_ = false;
  bool parked_ = false;
};

// The session of this process. A forked child inherits the parent's session as a copy of its
// memory, without the thread that drives it: its multi handle, pooled handles and sockets are the
// parent's connections, and its queued requests are the parent's to send. The child leaves all of
// that untouched, never released, and gets a session of its own on first use; inherited requests
// never run there, and neither do their completions (a crash upload's deletes the crash file).
class PerProcessHttpSession final : public HttpSession {
 public:
  void start(HttpRequest request, Completion completion) override {
    session().start(std::move(request), std::move(completion));
  }
  void startLike(const HttpRequest& like, std::string body, Completion completion) override {
    session().startLike(like, std::move(body), std::move(completion));
  }
  void dispatch(std::function<void()> task) override { session().dispatch(std::move(task)); }
  void dropWaiting(const void* sender) override { session().dropWaiting(sender); }

  // An inherited session has no thread here to stop, and its lock may be held for ever.
  void stopForExit() {
    if (renewal_.renewedHere()) current_.load(std::memory_order_acquire)->stopForExit();
  }

 private:
  CurlHttpSession& session() {
    renewal_.renewIfForked(
        [this] { current_.store(new CurlHttpSession(), std::memory_order_release); });
    return *current_.load(std::memory_order_acquire);
  }

  ForkRenewal renewal_;
  std::atomic<CurlHttpSession*> current_{nullptr};
};

PerProcessHttpSession* gSession = nullptr;

// Called on the session's thread right after libcurl's initialisation: the handler must be
// registered after the TLS library's own exit handler so that it runs before it. A forked child
// inherits the registration, and the handler finds the child's own session.
void registerExitHandler() noexcept {
  static std::atomic<bool> registered{false};
  if (registered.exchange(true)) return;
  std::atexit([] { gSession->stopForExit(); });
}

}  // namespace

std::size_t waitingBytes(const HttpRequest& request) noexcept {
  std::size_t bytes = kWaitingOverheadBytes + request.url.size() + request.body.size();
  for (const auto& [name, value] : request.headers) bytes += name.size() + value.size();
  return bytes;
}

HttpSession& systemHttpSession() noexcept {
  static PerProcessHttpSession* session = [] {
    auto* created = new PerProcessHttpSession();
    gSession = created;
    return created;
  }();
  return *session;
}

}  // namespace quillstone::platform
