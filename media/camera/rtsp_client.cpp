#include "rtsp_client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

extern "C" {
#include <libavutil/base64.h>
#include <libavutil/error.h>
#include <libavutil/md5.h>
}

namespace ingest {

namespace {

constexpr int64_t kSecond = 1000000000;
constexpr int64_t kPollSliceMs = 200; // how often a blocked read looks at the stop flag
constexpr size_t kReadBytes = 256 << 10;

int64_t NowNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return now.tv_sec * kSecond + now.tv_nsec;
}

std::string ErrorText(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

// The error FFmpeg's RTSP client gave for a refusing status, so that the
// operator's log reads as before.
std::string StatusText(int status)
{
    switch (status) {
    case 400:
        return ErrorText(AVERROR_HTTP_BAD_REQUEST);
    case 401:
        return ErrorText(AVERROR_HTTP_UNAUTHORIZED);
    case 403:
        return ErrorText(AVERROR_HTTP_FORBIDDEN);
    case 404:
        return ErrorText(AVERROR_HTTP_NOT_FOUND);
    }
    if (status >= 400 && status < 500)
        return ErrorText(AVERROR_HTTP_OTHER_4XX);
    if (status >= 500 && status < 600)
        return ErrorText(AVERROR_HTTP_SERVER_ERROR);
    return ErrorText(AVERROR_INVALIDDATA);
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") + 1 - first);
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix)
{
    return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == prefix;
}

// Digits only, at most `limit`; -1 otherwise.
long Number(const std::string& text, long limit)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const long value = std::stol(text);
    return value <= limit ? value : -1;
}

std::string PercentDecoded(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string Md5Hex(const std::string& text)
{
    uint8_t digest[16];
    av_md5_sum(digest, reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t byte : digest) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

// Eight unpredictable bytes for a Digest client nonce: the kernel's, or when
// it has none to give at once, a counter mixed with the clock. Never blocks
// and never throws (it runs from the destructor's TEARDOWN too).
uint64_t NonceBits()
{
    uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits))
        return bits;
    static std::atomic<uint64_t> counter{0};
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    bits = static_cast<uint64_t>(now.tv_sec) * kSecond + static_cast<uint64_t>(now.tv_nsec);
    bits ^= ++counter * 0x9E3779B97F4A7C15u;
    bits = (bits ^ (bits >> 30)) * 0xBF58476D1CE4E5B9u; // mixed, so that consecutive ones differ in every bit
    bits = (bits ^ (bits >> 27)) * 0x94D049BB133111EBu;
    return bits ^ (bits >> 31);
}

std::string Base64(const std::string& text)
{
    std::string out(AV_BASE64_SIZE(text.size()), '\0');
    av_base64_encode(out.data(), static_cast<int>(out.size()), reinterpret_cast<const uint8_t*>(text.data()),
                     static_cast<int>(text.size()));
    out.resize(std::strlen(out.c_str()));
    return out;
}

// Appends the base64 parameter sets of a comma-separated list to `sets`, each
// behind a start code.
void AppendSets(const std::string& list, std::vector<uint8_t>& sets)
{
    size_t at = 0;
    while (at <= list.size()) {
        const size_t comma = std::min(list.find(',', at), list.size());
        const std::string item = Trim(list.substr(at, comma - at));
        at = comma + 1;
        if (item.empty())
            continue;
        std::vector<uint8_t> unit(AV_BASE64_DECODE_SIZE(item.size()) + 1);
        const int size = av_base64_decode(unit.data(), item.c_str(), static_cast<int>(unit.size()));
        if (size <= 0)
            continue;
        sets.insert(sets.end(), {0, 0, 0, 1});
        sets.insert(sets.end(), unit.begin(), unit.begin() + size);
    }
}

// The value of `key` in a parameter list such as "a=1;b=2" or `x="1", y=2`.
std::string Parameter(const std::string& list, const std::string& key, char separator)
{
    size_t at = 0;
    while (at < list.size()) {
        size_t end = at;
        bool quoted = false;
        while (end < list.size() && (quoted || list[end] != separator)) {
            if (list[end] == '"')
                quoted = !quoted;
            ++end;
        }
        const std::string item = Trim(list.substr(at, end - at));
        at = end + 1;
        const size_t equals = item.find('=');
        if (equals == std::string::npos || Lower(Trim(item.substr(0, equals))) != key)
            continue;
        std::string value = Trim(item.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return "";
}

// A control attribute against the URL it is relative to: "*" or none is the
// base itself, an absolute URL stands as it is, an absolute path replaces
// the base's path, and anything else is appended to the base's path (its
// query left out).
std::string Resolve(const std::string& base, const std::string& control)
{
    if (control.empty() || control == "*")
        return base;
    if (control.find("://") != std::string::npos)
        return control;
    const size_t scheme = base.find("://");
    const size_t authorityEnd =
        scheme == std::string::npos ? 0 : std::min(base.find_first_of("/?#", scheme + 3), base.size());
    if (control[0] == '/')
        return base.substr(0, authorityEnd) + control;
    const std::string path = base.substr(0, std::min(base.find_first_of("?#", authorityEnd), base.size()));
    return path + (!path.empty() && path.back() == '/' ? "" : "/") + control;
}

// True when an RTCP compound packet holds a BYE: the server ends the stream.
bool HoldsBye(const uint8_t* data, size_t size)
{
    size_t at = 0;
    while (size - at >= 4) {
        if (data[at] >> 6 != 2)
            return false;
        if (data[at + 1] == 203)
            return true;
        at += (size_t{static_cast<uint16_t>(data[at + 2] << 8 | data[at + 3])} + 1) * 4;
        if (at > size)
            return false;
    }
    return false;
}

} // namespace

bool ParseRtspUrl(const std::string& url, RtspUrl& parts)
{
    if (!StartsWithNoCase(url, "rtsp://"))
        return false;
    const size_t authorityEnd = std::min(url.find_first_of("/?#", 7), url.size());
    std::string authority = url.substr(7, authorityEnd - 7);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        parts.userInfo = authority.substr(0, at);
        const size_t colon = parts.userInfo.find(':');
        parts.user = PercentDecoded(parts.userInfo.substr(0, colon));
        if (colon != std::string::npos)
            parts.password = PercentDecoded(parts.userInfo.substr(colon + 1));
        authority = authority.substr(at + 1);
    }
    std::string port;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos)
            return false;
        parts.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':')
                return false;
            port = authority.substr(close + 2);
        }
    } else {
        const size_t colon = authority.find(':');
        parts.host = authority.substr(0, colon);
        if (colon != std::string::npos)
            port = authority.substr(colon + 1);
    }
    if (!port.empty() && (parts.port = static_cast<int>(Number(port, 65535))) < 1)
        return false;
    parts.plain = "rtsp://" + authority + url.substr(authorityEnd);
    return !parts.host.empty();
}

bool ParseSdpVideo(const std::string& sdp, const std::string& base, SdpVideo& video)
{
    std::string aggregate = base;
    bool inMedia = false, inVideo = false, found = false;
    std::vector<std::string> formats;         // of the current video media
    std::map<std::string, std::string> fmtps; // its format parameters by payload type, the first of each
    std::string control;
    auto finish = [&] {
        if (!inVideo || !found)
            return false;
        const auto chosen = fmtps.find(std::to_string(video.payloadType));
        const std::string params = chosen != fmtps.end() ? chosen->second : "";
        if (video.hevc)
            for (const char* key : {"sprop-vps", "sprop-sps", "sprop-pps"})
                AppendSets(Parameter(params, key, ';'), video.parameterSets);
        else
            AppendSets(Parameter(params, "sprop-parameter-sets", ';'), video.parameterSets);
        video.aggregate = aggregate;
        video.control = Resolve(aggregate, control);
        return true;
    };
    size_t at = 0;
    while (at < sdp.size()) {
        const size_t end = std::min(sdp.find('\n', at), sdp.size());
        const std::string line = Trim(sdp.substr(at, end - at));
        at = end + 1;
        if (line.rfind("m=", 0) == 0) {
            if (finish())
                return true;
            inMedia = true;
            inVideo = line.rfind("m=video ", 0) == 0;
            found = false;
            formats.clear();
            fmtps.clear();
            control.clear();
            size_t word = 0, from = 2;
            while (from < line.size()) {
                const size_t to = std::min(line.find(' ', from), line.size());
                if (word++ >= 3)
                    formats.push_back(line.substr(from, to - from));
                from = to + 1;
            }
        } else if (line.rfind("a=control:", 0) == 0) {
            if (!inMedia) // session level: the aggregate URL
                aggregate = Resolve(base, line.substr(10));
            else
                control = line.substr(10);
        } else if (inVideo && !found && line.rfind("a=rtpmap:", 0) == 0) {
            const std::string map = line.substr(9);
            const size_t space = map.find(' '), slash = map.find('/');
            if (space == std::string::npos || slash == std::string::npos || slash < space)
                continue;
            const std::string id = map.substr(0, space), name = Lower(map.substr(space + 1, slash - space - 1));
            const long type = Number(id, 127);
            const size_t rateEnd = std::min(map.find('/', slash + 1), map.size());
            const long rate = Number(map.substr(slash + 1, rateEnd - slash - 1), 10000000);
            if (type < 96 || rate < 1000 || std::find(formats.begin(), formats.end(), id) == formats.end() ||
                (name != "h264" && name != "h265"))
                continue;
            found = true;
            video.hevc = name == "h265";
            video.payloadType = static_cast<uint8_t>(type);
            video.clockRate = static_cast<uint32_t>(rate);
        } else if (inVideo && line.rfind("a=fmtp:", 0) == 0) {
            const size_t space = std::min(line.find(' ', 7), line.size());
            const std::string id = line.substr(7, space - 7);
            if (std::find(formats.begin(), formats.end(), id) != formats.end()) // one per format it lists
                fmtps.emplace(id, space < line.size() ? line.substr(space + 1) : "");
        }
    }
    return finish();
}

Framed FrameAt(const uint8_t* data, size_t size)
{
    Framed framed;
    if (size == 0)
        return framed;
    if (data[0] == '$') {
        if (size < 4)
            return framed;
        const size_t length = size_t{data[2]} << 8 | data[3];
        if (size - 4 < length)
            return framed;
        framed.kind = Framing::Interleaved;
        framed.channel = data[1];
        framed.size = 4 + length;
        return framed;
    }
    if (data[0] < 'A' || data[0] > 'Z') {
        // Not the start of a unit: skip to the next '$', where one may start.
        const void* dollar = std::memchr(data, '$', size);
        framed.kind = Framing::Garbage;
        framed.size = dollar ? static_cast<size_t>(static_cast<const uint8_t*>(dollar) - data) : size;
        return framed;
    }
    // A message: its head ends at the first empty line.
    const size_t window = std::min(size, kMaxHeadBytes);
    size_t headEnd = 0;
    for (size_t i = 0; i + 1 < window && !headEnd; ++i) {
        if (data[i] != '\n')
            continue;
        if (data[i + 1] == '\n')
            headEnd = i + 2;
        else if (data[i + 1] == '\r' && i + 2 < window && data[i + 2] == '\n')
            headEnd = i + 3;
    }
    framed.kind = Framing::Message;
    if (!headEnd) {
        framed.bad = size >= kMaxHeadBytes;
        framed.kind = framed.bad ? Framing::Message : Framing::Partial;
        return framed;
    }
    const std::string head(reinterpret_cast<const char*>(data), headEnd);
    size_t at = 0;
    bool first = true;
    while (at < head.size()) {
        const size_t end = std::min(head.find('\n', at), head.size());
        const std::string line = Trim(head.substr(at, end - at));
        at = end + 1;
        if (first) {
            first = false;
            if (line.rfind("RTSP/", 0) == 0) {
                const size_t space = line.find(' ');
                const long status = space == std::string::npos ? -1 : Number(line.substr(space + 1, 3), 999);
                if (status < 100) {
                    framed.bad = true;
                    return framed;
                }
                framed.message.status = static_cast<int>(status);
            }
            continue;
        }
        const size_t colon = line.find(':');
        if (line.empty() || colon == std::string::npos)
            continue;
        const std::string name = Lower(Trim(line.substr(0, colon))), value = Trim(line.substr(colon + 1));
        auto [field, added] = framed.message.fields.emplace(name, value);
        if (!added && name == "www-authenticate")
            field->second += "\n" + value; // every challenge offered
    }
    const auto length = framed.message.fields.find("content-length");
    if (length != framed.message.fields.end()) {
        const long bytes = Number(length->second, static_cast<long>(kMaxBodyBytes));
        if (bytes < 0) {
            framed.bad = true;
            return framed;
        }
        framed.message.bodySize = static_cast<size_t>(bytes);
    }
    framed.size = headEnd + framed.message.bodySize;
    if (framed.size > size)
        framed.kind = Framing::Partial;
    return framed;
}

RtspClient::RtspClient(const std::string& url, int timeoutSeconds, const std::atomic<bool>& stop)
    : url_([&] {
          RtspUrl parts;
          ParseRtspUrl(url, parts);
          return parts;
      }()),
      urlValid_([&] {
          RtspUrl parts; // ParseRtspUrl's answer: a port out of range leaves a host but no valid URL
          return ParseRtspUrl(url, parts);
      }()),
      timeoutSeconds_(timeoutSeconds),
      stop_(stop),
      buffer_(kReadBytes)
{}

RtspClient::~RtspClient()
{
    if (fd_ < 0)
        return;
    // A courtesy: the server would end the session at its timeout anyway.
    // Building the request allocates; nothing of that may leave a destructor.
    try {
        if (playing_) {
            std::string request = "TEARDOWN " + video_.aggregate + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
                                  "\r\nSession: " + session_ + "\r\n" + Authorization("TEARDOWN", video_.aggregate) +
                                  "\r\n";
            (void)send(fd_, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    } catch (...) {
    }
    close(fd_);
}

int RtspClient::Lookup(addrinfo*& found)
{
    const std::string port = std::to_string(url_.port);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST; // an address as such: at once, without asking anyone
    const int numeric = getaddrinfo(url_.host.c_str(), port.c_str(), &hints, &found);
    if (numeric != EAI_NONAME)
        return numeric;
    // A name: looked up in the background, the stop flag watched meanwhile.
    // The request's memory is the lookup's until it is done or cancelled.
    struct Request {
        std::string host, port;
        addrinfo hints{};
        gaicb request{};
    };
    auto* lookup = new (std::nothrow) Request{url_.host, port, {}, {}};
    if (!lookup)
        return EAI_MEMORY;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->request.ar_name = lookup->host.c_str();
    lookup->request.ar_service = lookup->port.c_str();
    lookup->request.ar_request = &lookup->hints;
    gaicb* list[] = {&lookup->request};
    sigevent quiet{};
    quiet.sigev_notify = SIGEV_NONE;
    int error = getaddrinfo_a(GAI_NOWAIT, list, 1, &quiet);
    while (!error && (error = gai_error(&lookup->request)) == EAI_INPROGRESS) {
        if (stop_) {
            // A lookup already under way cannot be cancelled: it is left to
            // finish on its own, its few hundred bytes given up, so that
            // stopping never waits for a resolver.
            if (gai_cancel(&lookup->request) == EAI_NOTCANCELED)
                return EAI_CANCELED;
            if (gai_error(&lookup->request) == 0)
                freeaddrinfo(lookup->request.ar_result);
            delete lookup;
            return EAI_CANCELED;
        }
        const timespec slice{0, kPollSliceMs * 1000000};
        gai_suspend(list, 1, &slice);
    }
    found = error ? nullptr : lookup->request.ar_result;
    delete lookup;
    return error;
}

bool RtspClient::Connect(std::string& reason)
{
    addrinfo* found = nullptr;
    const int error = Lookup(found);
    if (error) {
        reason = stop_ ? "stopped" : error == EAI_SYSTEM ? ErrorText(AVERROR(errno)) : gai_strerror(error);
        return false;
    }
    const int64_t deadline = NowNs() + int64_t{timeoutSeconds_} * kSecond;
    int lastError = ECONNREFUSED;
    for (addrinfo* address = found; address && fd_ < 0 && !stop_; address = address->ai_next) {
        const int fd = socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int result = connect(fd, address->ai_addr, address->ai_addrlen) == 0 ? 0 : errno;
        while (result == EINPROGRESS && !stop_) {
            const int64_t left = deadline - NowNs();
            if (left <= 0) {
                result = ETIMEDOUT;
                break;
            }
            pollfd wait{fd, POLLOUT, 0};
            if (poll(&wait, 1, static_cast<int>(std::min<int64_t>(left / 1000000 + 1, kPollSliceMs))) > 0) {
                socklen_t length = sizeof result;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length);
            }
        }
        if (result == 0) {
            fd_ = fd;
            const int on = 1;
            setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        } else {
            lastError = result;
            close(fd);
        }
    }
    freeaddrinfo(found);
    if (fd_ < 0)
        reason = stop_ ? "stopped" : ErrorText(AVERROR(lastError));
    return fd_ >= 0;
}

std::string RtspClient::Authorization(const std::string& method, const std::string& url)
{
    if (scheme_ == "basic")
        return "Authorization: Basic " + Base64(url_.user + ":" + url_.password) + "\r\n"; // decoded, as Digest
    if (scheme_ != "digest")
        return "";
    const std::string ha1 = Md5Hex(url_.user + ":" + realm_ + ":" + url_.password);
    const std::string ha2 = Md5Hex(method + ":" + url);
    std::string field = "Authorization: Digest username=\"" + url_.user + "\", realm=\"" + realm_ + "\", nonce=\"" +
                        nonce_ + "\", uri=\"" + url + "\", response=\"";
    if (qop_.empty()) {
        field += Md5Hex(ha1 + ":" + nonce_ + ":" + ha2) + "\"";
    } else {
        char count[9], cnonce[17];
        snprintf(count, sizeof count, "%08x", ++nonceCount_);
        snprintf(cnonce, sizeof cnonce, "%016llx", static_cast<unsigned long long>(NonceBits()));
        field += Md5Hex(ha1 + ":" + nonce_ + ":" + count + ":" + cnonce + ":auth:" + ha2) +
                 "\", qop=auth, nc=" + count + ", cnonce=\"" + cnonce + "\"";
    }
    if (!opaque_.empty())
        field += ", opaque=\"" + opaque_ + "\"";
    return field + ", algorithm=MD5\r\n";
}

bool RtspClient::TakeChallenge(const RtspMessage& reply)
{
    const auto offered = reply.fields.find("www-authenticate");
    if (offered == reply.fields.end() || url_.userInfo.empty())
        return false;
    std::string basic, digest;
    size_t at = 0;
    while (at < offered->second.size()) {
        const size_t end = std::min(offered->second.find('\n', at), offered->second.size());
        const std::string challenge = offered->second.substr(at, end - at);
        at = end + 1;
        if (StartsWithNoCase(challenge, "digest "))
            digest = challenge.substr(7);
        else if (StartsWithNoCase(challenge, "basic"))
            basic = challenge;
    }
    if (!digest.empty()) {
        scheme_ = "digest";
        realm_ = Parameter(digest, "realm", ',');
        nonce_ = Parameter(digest, "nonce", ',');
        opaque_ = Parameter(digest, "opaque", ',');
        const std::string qop = Lower(Parameter(digest, "qop", ','));
        qop_ = qop.find("auth") != std::string::npos ? "auth" : "";
        nonceCount_ = 0;
        return !nonce_.empty();
    }
    if (!basic.empty()) {
        scheme_ = "basic";
        return true;
    }
    return false;
}

bool RtspClient::Send(const std::string& method, const std::string& url, const std::string& fields, std::string& reason)
{
    std::string request = method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
                          "\r\nUser-Agent: tarvod\r\n" + fields + Authorization(method, url);
    if (!session_.empty())
        request += "Session: " + session_ + "\r\n";
    request += "\r\n";
    const int64_t deadline = NowNs() + int64_t{timeoutSeconds_} * kSecond;
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            reason = ErrorText(AVERROR(errno));
            return false;
        }
        if (stop_ || NowNs() > deadline) {
            reason = stop_ ? "stopped" : ErrorText(AVERROR(ETIMEDOUT));
            return false;
        }
        pollfd wait{fd_, POLLOUT, 0};
        poll(&wait, 1, kPollSliceMs);
    }
    return true;
}

bool RtspClient::Fill(int64_t deadlineNs, std::string& reason)
{
    if (begin_ == end_) {
        begin_ = end_ = 0;
    } else if (begin_ > 0 && buffer_.size() - end_ < 65536 + 4) {
        // Room for the largest interleaved unit: move the unread part down.
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == buffer_.size()) {
        reason = ErrorText(AVERROR_INVALIDDATA); // a unit longer than any valid one
        return false;
    }
    for (;;) {
        if (stop_) {
            reason = "stopped";
            return false;
        }
        const int64_t left = deadlineNs - NowNs();
        if (left <= 0) {
            reason.clear(); // the deadline: the caller says what it means
            return false;
        }
        pollfd wait{fd_, POLLIN, 0};
        const int ready = poll(&wait, 1, static_cast<int>(std::min<int64_t>(left / 1000000 + 1, kPollSliceMs)));
        if (ready < 0 && errno != EINTR) {
            reason = ErrorText(AVERROR(errno));
            return false;
        }
        if (ready <= 0)
            continue;
        const ssize_t n = recv(fd_, buffer_.data() + end_, buffer_.size() - end_, 0);
        if (n > 0) {
            end_ += static_cast<size_t>(n);
            return true;
        }
        if (n == 0) {
            reason = "end of stream";
            return false;
        }
        if (errno != EAGAIN && errno != EINTR) {
            reason = ErrorText(AVERROR(errno));
            return false;
        }
    }
}

bool RtspClient::Request(const std::string& method, const std::string& url, const std::string& fields,
                         RtspMessage& reply, std::string& body, std::string& reason)
{
    for (int attempt = 0;; ++attempt) {
        if (!Send(method, url, fields, reason))
            return false;
        const int64_t deadline = NowNs() + int64_t{timeoutSeconds_} * kSecond;
        for (bool answered = false; !answered;) {
            const Framed unit = FrameAt(buffer_.data() + begin_, end_ - begin_);
            if (unit.kind == Framing::Partial) {
                if (!Fill(deadline, reason)) {
                    if (reason.empty())
                        reason = ErrorText(AVERROR(ETIMEDOUT));
                    return false;
                }
                continue;
            }
            if (unit.bad) {
                reason = ErrorText(AVERROR_INVALIDDATA);
                return false;
            }
            const uint8_t* start = buffer_.data() + begin_;
            begin_ += unit.size;
            // Video a server sends once SETUP is done, before its answer to
            // PLAY: the start of the first key frame's group, kept (up to a
            // cap) for Play to take first.
            if (unit.kind == Framing::Interleaved && !session_.empty() && unit.channel == videoChannel_ &&
                early_.size() + unit.size <= kMaxEarlyBytes)
                early_.insert(early_.end(), start, start + unit.size);
            const auto cseq = unit.message.fields.find("cseq");
            if (unit.kind != Framing::Message || unit.message.status == 0 || cseq == unit.message.fields.end() ||
                Number(cseq->second, 1 << 30) != cseq_)
                continue; // data before the answer, a request from the server, or an earlier answer
            reply = unit.message;
            body.assign(reinterpret_cast<const char*>(start) + unit.size - unit.message.bodySize,
                        unit.message.bodySize);
            answered = true;
        }
        if (reply.status == 401 && attempt == 0 && TakeChallenge(reply))
            continue;
        if (reply.status == 200)
            return true;
        reason = StatusText(reply.status);
        return false;
    }
}

RtspClient::Result RtspClient::Open(std::string& reason)
{
    if (!urlValid_) {
        reason = ErrorText(AVERROR(EINVAL));
        return Result::Failed;
    }
    if (!Connect(reason))
        return Result::Failed;
    RtspMessage reply;
    std::string body;
    if (!Request("OPTIONS", url_.plain, "", reply, body, reason))
        return Result::Failed;
    getParameter_ = reply.fields.count("public") && reply.fields["public"].find("GET_PARAMETER") != std::string::npos;
    if (!Request("DESCRIBE", url_.plain, "Accept: application/sdp\r\n", reply, body, reason))
        return Result::Failed;
    std::string base = url_.plain;
    for (const char* name : {"content-base", "content-location"}) {
        const auto field = reply.fields.find(name);
        if (field != reply.fields.end() && StartsWithNoCase(field->second, "rtsp://")) {
            base = field->second;
            break;
        }
    }
    if (!ParseSdpVideo(body, base, video_)) {
        reason = "no H.264 or H.265 video track in the session description";
        return Result::Fallback;
    }
    if (!Request("SETUP", video_.control, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n", reply, body, reason)) {
        // Unsupported Transport, or a server that does not understand the
        // interleaved one: Bad Request, Invalid in This State, Not Implemented.
        if (reply.status != 461 && reply.status != 400 && reply.status != 455 && reply.status != 501)
            return Result::Failed;
        reason = "the server refuses RTP interleaved in the RTSP connection";
        return Result::Fallback;
    }
    const std::string transport = Lower(reply.fields["transport"]);
    const std::string channels = Parameter(transport, "interleaved", ';');
    const size_t dash = channels.find('-');
    if (transport.find("tcp") == std::string::npos || channels.empty()) {
        reason = "the server answers the interleaved transport with another one";
        return Result::Fallback;
    }
    videoChannel_ = static_cast<int>(Number(channels.substr(0, dash), 255));
    controlChannel_ =
        dash == std::string::npos ? videoChannel_ + 1 : static_cast<int>(Number(channels.substr(dash + 1), 255));
    const std::string session = reply.fields["session"];
    session_ = Trim(session.substr(0, session.find(';')));
    const long timeout = Number(Parameter(session, "timeout", ';'), 3600);
    if (timeout > 0)
        sessionTimeout_ = static_cast<int>(timeout);
    if (videoChannel_ < 0 || session_.empty() || session_.size() > 256) {
        reason = ErrorText(AVERROR_INVALIDDATA);
        return Result::Failed;
    }
    if (!Request("PLAY", video_.aggregate, "Range: npt=0.000-\r\n", reply, body, reason))
        return Result::Failed;
    playing_ = true;
    return Result::Ok;
}

void RtspClient::KeepAlive(bool again)
{
    std::string ignored;
    keepAliveAgain_ = again;
    keepAliveCSeq_ = Send(getParameter_ ? "GET_PARAMETER" : "OPTIONS", video_.aggregate, "", ignored) ? cseq_ : 0;
}

void RtspClient::KeepAliveAnswer(const RtspMessage& answer)
{
    const auto cseq = answer.fields.find("cseq");
    if (answer.status == 0 || !keepAliveCSeq_ || cseq == answer.fields.end() ||
        Number(cseq->second, 1 << 30) != keepAliveCSeq_)
        return; // a request from the server, or an answer to nothing asked now
    keepAliveCSeq_ = 0;
    if (answer.status == 401 && !keepAliveAgain_ && TakeChallenge(answer)) {
        KeepAlive(true); // a new nonce (the last one went stale): once more with it
    } else if (answer.status == 454 && !toldSessionGone_) {
        toldSessionGone_ = true;
        if (log_)
            log_("the server no longer knows the session its keep-alives name (454); the stream goes on while it "
                 "sends");
    }
}

std::string RtspClient::Play(const RtpDepacketizer::FrameSink& frame)
{
    // The deadline is renewed by whole frames handed on, not by packets: a
    // stream whose every packet is dropped (another payload type, sequence
    // numbers gone backwards, a packetization it cannot read) times out and
    // is connected again rather than stalling silently.
    const int64_t timeout = int64_t{timeoutSeconds_} * kSecond;
    int64_t deadline = NowNs() + timeout, lastPacketAt = 0;
    RtpDepacketizer depacketizer(video_.hevc, video_.payloadType, [&](RtpFrame& whole) {
        if (!whole.damaged)
            deadline = NowNs() + timeout;
        frame(whole);
    });
    for (size_t at = 0; at < early_.size();) { // whole interleaved units, as Request kept them
        const Framed unit = FrameAt(early_.data() + at, early_.size() - at);
        if (unit.kind != Framing::Interleaved)
            break;
        depacketizer.Push(early_.data() + at + 4, unit.size - 4);
        at += unit.size;
    }
    early_.clear();
    early_.shrink_to_fit();
    const int64_t keepAliveEvery = std::max<int64_t>(1, sessionTimeout_ / 2) * kSecond;
    int64_t keepAliveAt = NowNs() + keepAliveEvery;
    std::string reason;
    for (;;) {
        for (bool more = true; more;) {
            const Framed unit = FrameAt(buffer_.data() + begin_, end_ - begin_);
            const uint8_t* start = buffer_.data() + begin_;
            switch (unit.kind) {
            case Framing::Partial:
                more = false;
                break;
            case Framing::Interleaved:
                begin_ += unit.size;
                if (unit.channel == videoChannel_) {
                    lastPacketAt = NowNs();
                    depacketizer.Push(start + 4, unit.size - 4);
                } else if (unit.channel == controlChannel_ && HoldsBye(start + 4, unit.size - 4)) {
                    return "end of stream";
                }
                break;
            case Framing::Message:
                if (unit.bad)
                    return ErrorText(AVERROR_INVALIDDATA);
                begin_ += unit.size; // a keep-alive's answer, or a request from the server
                KeepAliveAnswer(unit.message);
                break;
            case Framing::Garbage:
                begin_ += unit.size;
                break;
            }
        }
        const int64_t now = NowNs();
        if (now >= keepAliveAt) {
            KeepAlive(false);
            keepAliveAt = now + keepAliveEvery;
        }
        // Packets still coming late in the time the frames did not: the
        // stream goes on, but nothing of it can be used. (A stream that
        // stopped in the middle of a frame sent its last packets early.)
        if (now >= deadline)
            return (lastPacketAt > deadline - timeout / 2 ? "no usable video for " : "no data for ") +
                   std::to_string(timeoutSeconds_) + " s";
        if (!Fill(std::min(deadline, keepAliveAt), reason) && !reason.empty())
            return reason;
    }
}

} // namespace ingest
