#include "support/h2_client.hpp"

#include <nghttp2/nghttp2.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/unix_socket.hpp"

namespace zembra::test {

const std::string* H2Response::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (key == name) return &value;
    }
    return nullptr;
}

struct H2Client::Callbacks {
    static H2Client& client(void* user_data) { return *static_cast<H2Client*>(user_data); }

    static int on_header(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
                         std::size_t name_length, const std::uint8_t* value,
                         std::size_t value_length, std::uint8_t, void* user_data) {
        if (frame->hd.type != NGHTTP2_HEADERS) return 0;
        H2Response& response = client(user_data).responses_[frame->hd.stream_id];
        std::string key(reinterpret_cast<const char*>(name), name_length);
        std::string text(reinterpret_cast<const char*>(value), value_length);
        if (key == ":status") {
            response.status = std::stoi(text);
        } else {
            response.headers.emplace_back(std::move(key), std::move(text));
        }
        return 0;
    }

    static int on_data(nghttp2_session*, std::uint8_t, std::int32_t stream_id,
                       const std::uint8_t* data, std::size_t length, void* user_data) {
        client(user_data).responses_[stream_id].body.append(reinterpret_cast<const char*>(data),
                                                            length);
        return 0;
    }

    static int on_frame_recv(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
        H2Client& self = client(user_data);
        if (frame->hd.type == NGHTTP2_GOAWAY) {
            self.goaway_last_stream_id_ = frame->goaway.last_stream_id;
        } else if (frame->hd.type == NGHTTP2_RST_STREAM) {
            self.responses_[frame->hd.stream_id].reset = frame->rst_stream.error_code;
        }
        return 0;
    }

    static int on_stream_close(nghttp2_session*, std::int32_t stream_id, std::uint32_t,
                               void* user_data) {
        client(user_data).responses_[stream_id].closed = true;
        return 0;
    }

    static ssize_t read_body(nghttp2_session*, std::int32_t, std::uint8_t* buf, std::size_t length,
                             std::uint32_t* flags, nghttp2_data_source* source, void*) {
        auto* body = static_cast<RequestBody*>(source->ptr);
        std::size_t n = std::min(length, body->data.size() - body->sent);
        if (n == 0 && !body->end_stream) return NGHTTP2_ERR_DEFERRED;
        std::memcpy(buf, body->data.data() + body->sent, n);
        body->sent += n;
        if (body->sent == body->data.size() && body->end_stream) *flags |= NGHTTP2_DATA_FLAG_EOF;
        return static_cast<ssize_t>(n);
    }
};

H2Request json_post(std::string path, std::string body) {
    std::string length = std::to_string(body.size());
    return {
        .method = "POST",
        .path = std::move(path),
        .headers = {{"content-type", "application/json"}, {"content-length", std::move(length)}},
        .body = std::move(body)};
}

H2Client::H2Client(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    if (connect_unix(fd_, path) != 0) {
        int error = errno;
        ::close(fd_);
        throw std::runtime_error("connect " + path + ": " + std::strerror(error));
    }
    nghttp2_session_callbacks* callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, Callbacks::on_header);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, Callbacks::on_data);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, Callbacks::on_frame_recv);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, Callbacks::on_stream_close);
    nghttp2_session_client_new(&session_, callbacks, this);
    nghttp2_session_callbacks_del(callbacks);
    nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, nullptr, 0);
    flush();
}

H2Client::~H2Client() {
    nghttp2_session_del(session_);
    ::close(fd_);
}

std::int32_t H2Client::submit(const H2Request& request) {
    auto nv = [](const std::string& name, const std::string& value) {
        return nghttp2_nv{reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
                          reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())),
                          name.size(), value.size(), NGHTTP2_NV_FLAG_NONE};
    };
    const std::string method = ":method", scheme = ":scheme", path = ":path",
                      authority = ":authority", http = "http", localhost = "localhost";
    std::vector<nghttp2_nv> headers = {nv(method, request.method), nv(scheme, http),
                                       nv(path, request.path), nv(authority, localhost)};
    for (const auto& [name, value] : request.headers)
        headers.push_back(nv(name, value));

    std::unique_ptr<RequestBody> body;
    nghttp2_data_provider provider{};
    if (request.body) {
        body = std::make_unique<RequestBody>(RequestBody{*request.body, 0, request.end_stream});
        provider.source.ptr = body.get();
        provider.read_callback = Callbacks::read_body;
    }
    std::int32_t id = nghttp2_submit_request(session_, nullptr, headers.data(), headers.size(),
                                             body ? &provider : nullptr, nullptr);
    if (id < 0) throw std::runtime_error("submit: " + std::string(nghttp2_strerror(id)));
    responses_[id];
    if (body) bodies_[id] = std::move(body);
    flush();
    return id;
}

void H2Client::send_more(std::int32_t stream_id, const std::string& data, bool end_stream) {
    RequestBody& body = *bodies_.at(stream_id);
    body.data += data;
    body.end_stream = end_stream;
    nghttp2_session_resume_data(session_, stream_id);
    flush();
}

void H2Client::flush() {
    for (;;) {
        const std::uint8_t* data = nullptr;
        ssize_t n = nghttp2_session_mem_send(session_, &data);
        if (n < 0) throw std::runtime_error("mem_send: " + std::string(nghttp2_strerror(n)));
        if (n == 0) return;
        while (n > 0) {
            ssize_t written = ::send(fd_, data, static_cast<std::size_t>(n), MSG_NOSIGNAL);
            if (written < 0) {
                if (errno == EINTR) continue;
                connection_closed_ = true;
                return;
            }
            data += written;
            n -= written;
        }
    }
}

bool H2Client::receive_for(std::chrono::milliseconds wait) {
    pollfd poll_fd{fd_, POLLIN, 0};
    int ready = ::poll(&poll_fd, 1, static_cast<int>(wait.count()));
    if (ready <= 0) return true;
    std::uint8_t buffer[16 * 1024];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
        connection_closed_ = true;
        return false;
    }
    if (nghttp2_session_mem_recv(session_, buffer, static_cast<std::size_t>(n)) < 0) {
        connection_closed_ = true;
        return false;
    }
    flush();
    return true;
}

bool H2Client::run_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && !connection_closed_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (!receive_for(std::min(left, std::chrono::milliseconds(50)))) break;
    }
    return done();
}

bool H2Client::finish(std::int32_t stream_id, std::chrono::milliseconds timeout) {
    return run_until([&] { return responses_[stream_id].closed; }, timeout);
}

const H2Response& H2Client::response(std::int32_t stream_id) const {
    return responses_.at(stream_id);
}

std::uint32_t H2Client::remote_setting(int id) const {
    return nghttp2_session_get_remote_settings(session_, static_cast<nghttp2_settings_id>(id));
}

void H2Client::forget(std::int32_t stream_id) {
    responses_.erase(stream_id);
    bodies_.erase(stream_id);
}

}  // namespace zembra::test
