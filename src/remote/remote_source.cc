#include "remote/remote_source.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <list>
#include <random>

#include "remote/curl_handles.h"

namespace vesk {

namespace {

using Clock = std::chrono::steady_clock;

// Where the start of an error body is kept: enough for S3's <Code>.
constexpr std::size_t kErrorBodyBytes = 4096;

// One range of the caller's buffer, fetched by one or more attempts: a
// failed attempt leaves what it brought and the next asks for the rest.
struct RangeJob {
  std::uint64_t start = 0;  // object offsets [start, end)
  std::uint64_t end = 0;
  std::byte* dst = nullptr;  // where byte `start` goes
  std::uint64_t done = 0;
  std::uint32_t failures = 0;  // attempts in a row that brought nothing
  Clock::time_point not_before{};

  std::uint64_t next() const { return start + done; }
  bool complete() const { return start + done == end; }
};

struct Attempt {
  Attempt(CURLM* m, CurlEasy e, RangeJob& j, ObjectIdentity& o, const std::string& l)
      : multi(m), easy(std::move(e)), job(j), object(o), label(l), from(j.next()) {}
  // Still in the multi handle where the fetch ends early: taken out before
  // the easy handle goes.
  ~Attempt() {
    if (added) curl_multi_remove_handle(multi, easy.get());
  }
  Attempt(const Attempt&) = delete;
  Attempt& operator=(const Attempt&) = delete;

  CURLM* multi;
  CurlEasy easy;
  bool added = false;
  CurlHeaders headers;
  RangeJob& job;
  ObjectIdentity& object;
  const std::string& label;
  std::uint64_t from;  // the first byte this attempt asked for
  ResponseHead head;
  bool checked = false;  // the headers were checked, at the first body byte
  bool body_is_data = false;
  std::uint64_t got = 0;
  std::string error_body;
  std::optional<IoError> refused;  // a response that must not be retried
};

// The headers of a 200 or 206, checked once before its body is taken.
void check_head_once(Attempt& a) {
  if (a.checked) return;
  a.checked = true;
  if (a.head.status != 200 && a.head.status != 206) return;
  if (auto bad = check_range_head(a.head, a.from, a.job.end, a.object, a.label)) {
    a.refused = std::move(bad);
  } else {
    a.body_is_data = true;
  }
}

std::size_t on_body(char* data, std::size_t size, std::size_t n, void* user) {
  Attempt& a = *static_cast<Attempt*>(user);
  const std::size_t len = size * n;
  check_head_once(a);
  if (a.refused) return 0;  // ends the transfer with CURLE_WRITE_ERROR
  if (!a.body_is_data) {
    a.error_body.append(data, std::min(len, kErrorBodyBytes - std::min(kErrorBodyBytes, a.error_body.size())));
    return len;
  }
  RangeJob& job = a.job;
  if (len > job.end - job.next()) {
    a.refused = IoError::custom(IoErrorKind::InvalidData, a.label + ": the server sent more bytes than it announced");
    return 0;
  }
  std::memcpy(job.dst + job.done, data, len);
  job.done += len;
  a.got += len;
  return len;
}

std::size_t on_header(char* data, std::size_t size, std::size_t n, void* user) {
  static_cast<Attempt*>(user)->head.take_line(std::string_view(data, size * n));
  return size * n;
}

// What a finished attempt means for its range.
struct Outcome {
  enum { Done, Retry, Fail } what;
  std::optional<IoError> error;
};

Outcome transport_outcome(CURLcode code, long os_errno, const std::string& label, std::uint32_t timeout_s) {
  const std::string text = curl_easy_strerror(code);
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return {Outcome::Fail, IoError::custom(IoErrorKind::NotFound, label + ": cannot resolve the host name")};
    case CURLE_COULDNT_CONNECT:
      return {Outcome::Fail, IoError::custom(os_errno == ECONNREFUSED ? IoErrorKind::ConnectionRefused
                                                                       : io_error_kind_from_errno(static_cast<int>(os_errno)),
                                             label + ": cannot connect (" +
                                                 (os_errno == ECONNREFUSED ? std::string("connection refused") : text) +
                                                 ")")};
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_USE_SSL_FAILED:
      return {Outcome::Fail, IoError::custom(IoErrorKind::Other, label + ": TLS failure (" + text + ")")};
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_TOO_MANY_REDIRECTS:
      return {Outcome::Fail, IoError::custom(IoErrorKind::InvalidInput, label + ": " + text)};
    case CURLE_OPERATION_TIMEDOUT:
      return {Outcome::Retry, IoError::custom(IoErrorKind::TimedOut, label + ": timed out (nothing received for " +
                                                                         std::to_string(timeout_s) + " s)")};
    case CURLE_PARTIAL_FILE:
      return {Outcome::Retry, IoError::custom(IoErrorKind::UnexpectedEof, label + ": body shorter than announced")};
    default:
      return {Outcome::Retry, IoError::custom(IoErrorKind::ConnectionReset,
                                              label + ": connection lost (" + text + ")")};
  }
}

Outcome finished(Attempt& a, CURLcode code, std::uint32_t timeout_s) {
  if (a.refused) return {Outcome::Fail, std::move(a.refused)};
  // The probe of an empty object: every range is refused, and the refusal
  // gives the length.
  if (code == CURLE_OK && a.head.status == 416 && !a.object.length && a.head.content_range) {
    if (auto range = parse_content_range(*a.head.content_range); range && !range->first && range->total == 0) {
      a.object.length = 0;
      a.object.etag = a.head.etag;
      return {Outcome::Fail, IoError::custom(IoErrorKind::UnexpectedEof, a.label + ": the object is empty")};
    }
  }
  check_head_once(a);  // a response without a body
  if (a.refused) return {Outcome::Fail, std::move(a.refused)};
  if (code == CURLE_OK && a.head.status >= 300) {
    IoError e = status_error(a.label, a.head.status, a.error_body);
    return {status_is_transient(a.head.status) ? Outcome::Retry : Outcome::Fail, std::move(e)};
  }
  if (code == CURLE_OK && a.head.status < 200)
    return {Outcome::Fail, IoError::custom(IoErrorKind::Other, a.label + ": no HTTP response")};
  if (code == CURLE_OK && a.job.complete()) return {Outcome::Done, std::nullopt};
  if (code == CURLE_OK)
    return {Outcome::Retry, IoError::custom(IoErrorKind::UnexpectedEof, a.label + ": body shorter than announced")};
  long os_errno = 0;
  curl_easy_getinfo(a.easy.get(), CURLINFO_OS_ERRNO, &os_errno);
  return transport_outcome(code, os_errno, a.label, timeout_s);
}

// Waits before the n-th retry in a row: 0.1 s doubling up to 4 s, each
// drawn from the upper half of its span so that ranges that failed
// together do not come back together.
Clock::duration backoff(std::uint32_t failures) {
  thread_local std::minstd_rand rng{std::random_device{}()};
  const double full = std::min(4.0, 0.1 * static_cast<double>(1u << std::min(failures - 1, 6u)));
  const double s = full * (0.5 + 0.5 * std::uniform_real_distribution<double>(0, 1)(rng));
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

struct RemoteByteSource::Session {
  CurlMulti multi;
  std::vector<CurlEasy> idle;
};

namespace {

// One read: its ranges through one session's connections.
class RangeFetch {
 public:
  RangeFetch(RemoteByteSource::Session& session, const RemoteTarget& target, const RemoteTunables& tunables,
             ObjectIdentity& object)
      : session_(session), target_(target), tunables_(tunables), object_(object) {}

  IoResult<void> run(std::span<std::byte> buf, std::uint64_t offset) {
    for (std::uint64_t at = 0; at < buf.size(); at += tunables_.range_bytes) {
      const std::uint64_t len = std::min<std::uint64_t>(tunables_.range_bytes, buf.size() - at);
      jobs_.push_back(RangeJob{offset + at, offset + at + len, buf.data() + at});
    }
    for (RangeJob& j : jobs_) waiting_.push_back(&j);
    std::size_t done = 0;
    while (done < jobs_.size()) {
      if (auto r = start_ready(); !r) return r;
      int running = 0;
      if (curl_multi_perform(session_.multi.get(), &running) != CURLM_OK)
        return std::unexpected(IoError::custom(IoErrorKind::Other, target_.label + ": the HTTP client failed"));
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(session_.multi.get(), &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        auto r = settle(msg->easy_handle, msg->data.result);
        if (!r) return std::unexpected(r.error());
        done += *r;
      }
      if (done == jobs_.size()) break;
      curl_multi_poll(session_.multi.get(), nullptr, 0, poll_ms(), nullptr);
    }
    return {};
  }

 private:
  int poll_ms() const {
    if (waiting_.empty() || active_.size() >= tunables_.connections) return 1000;
    const auto now = Clock::now();
    auto soonest = waiting_.front()->not_before;
    for (const RangeJob* j : waiting_) soonest = std::min(soonest, j->not_before);
    if (soonest <= now) return 0;
    return static_cast<int>(
        std::min<long long>(1000, std::chrono::duration_cast<std::chrono::milliseconds>(soonest - now).count() + 1));
  }

  IoResult<void> start_ready() {
    const auto now = Clock::now();
    for (auto it = waiting_.begin(); it != waiting_.end() && active_.size() < tunables_.connections;) {
      if ((*it)->not_before > now) {
        ++it;
        continue;
      }
      if (auto r = start(**it); !r) return r;
      it = waiting_.erase(it);
    }
    return {};
  }

  IoError client_failure(const char* what) const {
    return IoError::custom(IoErrorKind::OutOfMemory, target_.label + ": cannot set up the request (" + what + ")");
  }

  IoResult<void> start(RangeJob& job) {
    CurlEasy easy;
    if (!session_.idle.empty()) {
      easy = std::move(session_.idle.back());
      session_.idle.pop_back();
      curl_easy_reset(easy.get());
    } else {
      easy.reset(curl_easy_init());
      if (!easy) return std::unexpected(client_failure("curl_easy_init"));
    }
    auto& a = *active_.emplace_back(
        std::make_unique<Attempt>(session_.multi.get(), std::move(easy), job, object_, target_.label));
    CURL* h = a.easy.get();
    const std::string range = "Range: bytes=" + std::to_string(a.from) + "-" + std::to_string(job.end - 1);
    bool ok = a.headers.append(range);
    if (object_.etag) ok = ok && a.headers.append("If-Match: " + *object_.etag);
    if (!target_.sigv4.empty()) {
      // libcurl signs every header it sends, and takes the payload hash
      // from this one; S3 refuses a signed request without it.
      ok = ok && a.headers.append("x-amz-content-sha256: UNSIGNED-PAYLOAD");
      if (target_.credentials && !target_.credentials->session_token.empty())
        ok = ok && a.headers.append("x-amz-security-token: " + target_.credentials->session_token);
    }
    if (!ok) return std::unexpected(client_failure("header list"));
    const long timeout = static_cast<long>(tunables_.timeout_s);
    curl_easy_setopt(h, CURLOPT_URL, target_.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // A signed request is signed for its host: it is never redirected.
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, target_.sigv4.empty() ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, a.headers.get());
    // One TCP connection per range in flight: HTTP/2 would multiplex them
    // all onto one connection, and one connection's window.
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, timeout);
    // A stalled connection: less than a byte a second for the timeout.
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, timeout);
    // Received bytes are copied from this buffer into the staging buffer:
    // small enough to stay in the cache between the two, large enough to
    // take a socket's worth per call (128 KiB led 64 and 512 KiB here).
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 128L * 1024);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &a);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &a);
    curl_easy_setopt(h, CURLOPT_PRIVATE, &a);
    if (!target_.ca_file.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, target_.ca_file.c_str());
    if (!target_.sigv4.empty() && target_.credentials) {
      curl_easy_setopt(h, CURLOPT_AWS_SIGV4, target_.sigv4.c_str());
      curl_easy_setopt(h, CURLOPT_USERNAME, target_.credentials->access_key.c_str());
      curl_easy_setopt(h, CURLOPT_PASSWORD, target_.credentials->secret_key.c_str());
    }
    if (curl_multi_add_handle(session_.multi.get(), h) != CURLM_OK) {
      active_.pop_back();
      return std::unexpected(client_failure("curl_multi_add_handle"));
    }
    a.added = true;
    return {};
  }

  // Returns the number of ranges this finished (0 or 1).
  IoResult<std::size_t> settle(CURL* easy, CURLcode code) {
    const auto it = std::ranges::find_if(active_, [&](const auto& a) { return a->easy.get() == easy; });
    if (it == active_.end()) return 0;  // not one of this read's requests
    std::unique_ptr<Attempt> a = std::move(*it);
    active_.erase(it);
    Outcome out = finished(*a, code, tunables_.timeout_s);
    curl_multi_remove_handle(session_.multi.get(), easy);
    a->added = false;
    RangeJob& job = a->job;
    const bool progressed = a->got > 0;
    session_.idle.push_back(std::move(a->easy));
    if (out.what == Outcome::Done) return 1;
    if (out.what == Outcome::Fail) return std::unexpected(std::move(*out.error));
    if (progressed) job.failures = 0;
    if (++job.failures > tunables_.retries) {
      return std::unexpected(IoError::custom(out.error->kind(), out.error->to_string() + " (gave up after " +
                                                                    std::to_string(job.failures) + " attempts)"));
    }
    job.not_before = Clock::now() + backoff(job.failures);
    waiting_.push_back(&job);
    return 0;
  }

  RemoteByteSource::Session& session_;
  const RemoteTarget& target_;
  const RemoteTunables& tunables_;
  ObjectIdentity& object_;
  std::deque<RangeJob> jobs_;
  std::list<RangeJob*> waiting_;
  std::vector<std::unique_ptr<Attempt>> active_;
};

}  // namespace

RemoteByteSource::RemoteByteSource(RemoteTarget target, RemoteTunables tunables)
    : target_(std::move(target)), tunables_(tunables) {}

RemoteByteSource::~RemoteByteSource() = default;

std::unique_ptr<RemoteByteSource::Session> RemoteByteSource::take_session() const {
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      auto s = std::move(idle_.back());
      idle_.pop_back();
      return s;
    }
  }
  auto s = std::make_unique<Session>();
  s->multi.reset(curl_multi_init());
  if (!s->multi) return nullptr;
  curl_multi_setopt(s->multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(tunables_.connections));
  curl_multi_setopt(s->multi.get(), CURLMOPT_MAXCONNECTS, static_cast<long>(tunables_.connections));
  return s;
}

void RemoteByteSource::keep_session(std::unique_ptr<Session> session) const {
  std::lock_guard lock(mutex_);
  idle_.push_back(std::move(session));
}

IoResult<std::unique_ptr<RemoteByteSource>> RemoteByteSource::open(RemoteTarget target, RemoteTunables tunables) {
  if (!ensure_curl_ready())
    return std::unexpected(IoError::custom(IoErrorKind::Other, target.label + ": the HTTP client cannot start"));
  std::unique_ptr<RemoteByteSource> source(new RemoteByteSource(std::move(target), tunables));
  auto session = source->take_session();
  if (!session)
    return std::unexpected(IoError::custom(IoErrorKind::OutOfMemory, source->label() + ": cannot set up the request"));
  std::byte first{};
  IoResult<void> r;
  {
    RangeFetch fetch(*session, source->target_, source->tunables_, source->object_);
    r = fetch.run(std::span(&first, 1), 0);
  }
  // An empty object refuses every range: 416 with "bytes */0".
  if (!r && source->object_.length != std::uint64_t{0}) return std::unexpected(r.error());
  source->keep_session(std::move(session));
  return source;
}

IoResult<void> RemoteByteSource::read_exact(std::span<std::byte> buf, std::uint64_t offset) const {
  const std::uint64_t length = *object_.length;
  if (offset > length || buf.size() > length - offset) {
    return std::unexpected(IoError::custom(
        IoErrorKind::UnexpectedEof, label() + ": read of " + std::to_string(buf.size()) + " bytes at offset " +
                                        std::to_string(offset) + " runs past the end of " + std::to_string(length) +
                                        " bytes"));
  }
  if (buf.empty()) return {};
  auto session = take_session();
  if (!session) return std::unexpected(IoError::custom(IoErrorKind::OutOfMemory, label() + ": cannot set up the request"));
  // Every read checks against the identity found at open; it never
  // changes it (the length is known, so a response cannot fill it in).
  ObjectIdentity object = object_;
  IoResult<void> r;
  {
    // The fetch takes its requests out of the session before the session
    // goes back to be shared.
    RangeFetch fetch(*session, target_, tunables_, object);
    r = fetch.run(buf, offset);
  }
  keep_session(std::move(session));
  return r;
}

IoResult<std::unique_ptr<RemoteByteSource>> open_remote_source(const std::string& url) {
  const EnvLookup env = process_environment();
  auto target = resolve_remote_target(url, env);
  if (!target) return std::unexpected(target.error());
  return RemoteByteSource::open(std::move(*target), remote_tunables(env));
}

}  // namespace vesk
