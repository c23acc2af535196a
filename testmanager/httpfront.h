#pragma once

namespace httplib {
class Server;
}
class TestManagerService;

// Largest request body accepted, in bytes; larger ones get HTTP 413 (and an error record).
constexpr unsigned long MaxRequestBodyBytes = 4 * 1024 * 1024;

// Connects the test manager's paths to the service: POST for the three agent endpoints, GET
// for the pages, and an error record for whatever the HTTP layer refuses itself. The service
// must outlive the server.
void InstallRoutes(httplib::Server* server, TestManagerService* service);
