#include "testmanager/httpfront.h"

#include "testmanager/service.h"

#include <httplib.h>

namespace {

RequestContext ContextOf(const httplib::Request& request)
{
    RequestContext context;
    context.endpoint = request.path;
    context.remote = request.remote_addr + ":" + std::to_string(request.remote_port);
    return context;
}

void Send(const HttpReply& reply, httplib::Response* response)
{
    response->status = reply.status;
    response->set_content(reply.body, reply.contentType.c_str());
}

} // namespace

void InstallRoutes(httplib::Server* server, TestManagerService* service)
{
    server->set_payload_max_length(MaxRequestBodyBytes);
    server->Post("/AgentManager.ashx", [service](const httplib::Request& request, httplib::Response& response) {
        Send(service->AgentManager(ContextOf(request), request.body), &response);
    });
    server->Post("/UxTracker.ashx", [service](const httplib::Request& request, httplib::Response& response) {
        Send(service->UxTracker(ContextOf(request), request.body), &response);
    });
    server->Post("/FeedbackHandler.ashx", [service](const httplib::Request& request, httplib::Response& response) {
        Send(service->Feedback(ContextOf(request), request.body), &response);
    });
    const auto page = [service](const httplib::Request& request, httplib::Response& response) {
        Send(service->Page(ContextOf(request)), &response);
    };
    server->Get("/", page);
    server->Get("/SignUp234.aspx", page);
    server->Get("/ForgotPassword.aspx", page);

    // Called for every status of 400 and above. The service's own refusals already carry their
    // text and their record; an empty body means that the HTTP layer refused the request itself.
    const httplib::Server::HandlerWithResponse errorHandler =
        [service](const httplib::Request& request, httplib::Response& response) {
            if (!response.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            response.set_content(service->HttpError(ContextOf(request), request.method, response.status),
                                 "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        };
    server->set_error_handler(errorHandler);
    // Nothing in the service is meant to throw; should it, the request still gets an answer
    // and a record, and the server goes on.
    server->set_exception_handler(
        [service](const httplib::Request& request, httplib::Response& response, std::exception_ptr error) {
            std::string what = "unknown exception";
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            response.status = 500;
            response.set_content(service->HttpError(ContextOf(request), request.method, 500, what),
                                 "text/plain");
        });
}
