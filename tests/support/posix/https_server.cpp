// https_server.cpp -- the test HTTPS server over cpp-httplib and OpenSSL.
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include "https_server.h"

#include <httplib.h>
#include <openssl/ssl.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

bool Run(const std::string &command)
{
    return system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool MakeCa(const std::string &dir, const std::string &name)
{
    return Run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=" + name + "' -keyout '" + dir +
               "/" + name + ".key' -out '" + dir + "/" + name + ".pem'");
}

} // namespace

bool TestMakeTlsFiles(const std::string &dir, TestTlsFiles *files)
{
    files->ca = dir + "/test-ca.pem";
    files->other_ca = dir + "/other-ca.pem";
    files->cert = dir + "/localhost.pem";
    files->key = dir + "/localhost.key";
    std::string ext = dir + "/localhost.ext";
    FILE *f = fopen(ext.c_str(), "w");
    if (!f) return false;
    fputs("basicConstraints=CA:FALSE\nsubjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n", f);
    fclose(f);
    return MakeCa(dir, "test-ca") && MakeCa(dir, "other-ca") &&
           Run("openssl req -newkey rsa:2048 -nodes -subj '/CN=localhost' -keyout '" + files->key + "' -out '" +
               dir + "/localhost.csr'") &&
           Run("openssl x509 -req -in '" + dir + "/localhost.csr' -CA '" + files->ca + "' -CAkey '" + dir +
               "/test-ca.key' -CAcreateserial -days 2 -extfile '" + ext + "' -out '" + files->cert + "'");
}

struct TestHttpsServer::Impl {
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    int port = 0;
    std::atomic<int> requests{0};
    std::mutex mutex;
    std::condition_variable stopping;
    bool stop = false;
};

TestHttpsServer::TestHttpsServer() : impl_(new Impl) {}

TestHttpsServer::~TestHttpsServer()
{
    Stop();
}

bool TestHttpsServer::Start(const TestTlsFiles &files, TestHttpsHandler handler, int max_tls)
{
    Impl *impl = impl_.get();
    impl->server.reset(new httplib::SSLServer(files.cert.c_str(), files.key.c_str()));
    if (!impl->server->is_valid()) return false;
    if (max_tls) {
        SSL_CTX *ctx = impl->server->ssl_context();
        SSL_CTX_set_security_level(ctx, 0);
        SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
        SSL_CTX_set_max_proto_version(ctx, max_tls);
        SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
    }
    auto serve = [impl, handler](const httplib::Request &request, httplib::Response &response) {
        impl->requests++;
        TestHttpsRequest in;
        in.path = request.path;
        in.body = request.body;
        for (const auto &h : request.headers) {
            std::string name = h.first;
            for (char &c : name) c = (char)tolower((unsigned char)c);
            in.headers.emplace(name, h.second);
        }
        TestHttpsReply out = handler(in);
        if (out.stall_ms > 0) {
            std::unique_lock<std::mutex> lock(impl->mutex);
            impl->stopping.wait_for(lock, std::chrono::milliseconds(out.stall_ms), [impl] { return impl->stop; });
        }
        response.status = out.status;
        if (!out.location.empty()) response.set_header("Location", out.location);
        if (out.cut) {
            response.set_content_provider(1, "application/json",
                                          [](size_t, size_t, httplib::DataSink &) { return false; });
            return;
        }
        if (!out.trickle_size) {
            response.set_content(out.body, "application/json");
            return;
        }
        size_t size = out.trickle_size;
        int every_ms = out.trickle_ms;
        response.set_content_provider(size, "application/octet-stream",
                                      [impl, size, every_ms](size_t offset, size_t, httplib::DataSink &sink) {
                                          std::unique_lock<std::mutex> lock(impl->mutex);
                                          if (impl->stopping.wait_for(lock, std::chrono::milliseconds(every_ms),
                                                                      [impl] { return impl->stop; }))
                                              return false;
                                          lock.unlock();
                                          static const std::string piece(4096, 'x');
                                          return sink.write(piece.data(), std::min(piece.size(), size - offset));
                                      });
    };
    impl->server->Post(".*", serve);
    impl->server->Get(".*", serve);
    impl->port = impl->server->bind_to_any_port("127.0.0.1");
    if (impl->port <= 0) return false;
    impl->thread = std::thread([impl] { impl->server->listen_after_bind(); });
    return true;
}

int TestHttpsServer::port() const
{
    return impl_->port;
}

int TestHttpsServer::requests() const
{
    return impl_->requests;
}

void TestHttpsServer::Stop()
{
    Impl *impl = impl_.get();
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->stop = true;
    }
    impl->stopping.notify_all();
    if (impl->server) impl->server->stop();
    if (impl->thread.joinable()) impl->thread.join();
}
