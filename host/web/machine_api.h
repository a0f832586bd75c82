// The JSON API under /api/v1/ on the status listener, for the tools people
// already run (the OpenAPI-style summary is in the README):
//   GET  /api/v1/machines              enrolled and unknown machines
//   GET  /api/v1/machines/ID           one machine (MAC or UUID) with its last attempt
//   POST /api/v1/machines              enrol: {"machine", "profile", "name"?, "vars"?}
//   PUT  /api/v1/machines/ID/profile   change its profile: {"profile"}
//   GET  /api/v1/pools                 the address pools and their use
// Every request needs "Authorization: Bearer TOKEN" ([api] token); without a
// token configured there is no API (404). Each request is logged.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/config/host_config.h"
#include "host/store/policy_store.h"
#include "host/text/json_document.h"

constexpr size_t kMaxApiBody = 64 * 1024;

struct ApiReply {
    unsigned status = 200;
    std::string body;  // JSON
};

struct ApiRequest {
    std::string method, path, authorization, body, client;
    bool bodyTooLarge = false;
};

class MachineApi {
public:
    // The token, the profiles an enrolment may name and the store; again after SIGHUP.
    void SetConfig(const HostConfig &config);
    bool Enabled();
    // POOLS gives the pools' JSON when asked.
    ApiReply Handle(const ApiRequest &request, const std::function<JsonValue()> &pools);

private:
    ApiReply Route(const ApiRequest &request, const std::function<JsonValue()> &pools);
    ApiReply Machines();
    ApiReply OneMachine(const std::string &id);
    ApiReply Enrol(const JsonValue &body);
    ApiReply ChangeProfile(const std::string &id, const JsonValue &body);
    bool Store(std::string *error);

    std::mutex m_Lock;  // one request at a time talks to the store
    std::string m_Token, m_Database;
    std::vector<std::string> m_Profiles;
    std::unique_ptr<PolicyStore> m_Store;
};
