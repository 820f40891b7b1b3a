#include "service/linux/service_mode.hpp"

#include <algorithm>
#include <optional>
#include <system_error>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>

#include "http/server.hpp"
#include "service/blocking_pool.hpp"
#include "service/hub/api/routes.hpp"
#include "service/hub/core/log_buffer.hpp"
#include "service/hub/shutdown.hpp"
#include "service/linux/authorized_incoming.hpp"
#include "service/linux/heap.hpp"
#include "service/linux/open_files.hpp"
#include "service/linux/signals.hpp"
#include "service/linux/socket_listener.hpp"
#include "service/linux/worker_threads.hpp"

namespace zembra::service {
namespace {

unsigned worker_count() {
    return std::max(1u, std::thread::hardware_concurrency());
}

Result<> run_service(boost::asio::io_context& main_loop, boost::asio::io_context& workers,
                     OwnerIds owner, std::size_t max_connections) {
    auto signal = TerminationSignal::listen(main_loop);
    if (!signal) return fail(std::move(signal.error()));

    auto listener = prepare_socket(main_loop, socket_path());
    if (!listener) return fail(std::move(listener.error()));

    http::Server server(workers, hub::routes(), {.max_connections = max_connections});
    AuthorizedIncoming incoming(std::move(*listener), owner, hub::log_message);
    incoming.start([&server](int fd) { server.serve(fd); });

    hub::BoundedShutdown shutdown(main_loop, std::move(*signal), hub::SHUTDOWN_GRACE);
    const hub::LoopEvent server_ended(main_loop);
    shutdown.on_signal([&incoming, &server, server_ended] {
        incoming.close();
        server.graceful_stop([server_ended] { server_ended.fire(); });
    });
    shutdown.drain(server_ended);

    hub::release_core_on_shutdown();
    return {};
}

}  // namespace

Result<> run_service_mode(OwnerIds owner) {
    return_large_blocks_when_freed();
    const std::size_t max_connections = connection_cap(raise_open_file_limit());
    // Declared first so it outlives the workers, which may still post to it.
    std::optional<boost::asio::io_context> main_loop;
    std::optional<boost::asio::io_context> workers;
    std::optional<WorkerThreads> threads;
    try {
        main_loop.emplace(1);
        workers.emplace();
        threads.emplace(*workers, hub::log_message);
        threads->start(worker_count());
    } catch (const std::system_error& error) {
        return fail(Error::os(error.code().value()).context("create helper runtime"));
    } catch (const boost::system::system_error& error) {
        return fail(Error::os(error.code().value()).context("create helper runtime"));
    }

    Result<> result = run_service(*main_loop, *workers, owner, max_connections);

    threads->stop();
    shutdown_blocking_pool();
    return result;
}

}  // namespace zembra::service
