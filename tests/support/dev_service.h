// The dev service the back-end tests talk to: started once per ctest run by the "devservice"
// fixture (devservice-fixture.sh), on free ports, in test mode.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qm_test {

class dev_service {
public:
    // The running service; fails the calling test (and throws) when the fixture did not start it.
    static const dev_service& get();

    int sftp_port() const { return sftp_port_; }
    std::string base_url() const { return "http://127.0.0.1:" + std::to_string(http_port_); }

    // POSTs body to /_control/<name> and answers the response body; throws std::runtime_error
    // on a transport failure or a status other than 200.
    std::string control(const std::string& name, const std::string& body = {}) const;

    // Any request to the service: answers (status, body).
    std::pair<long, std::string> request(const std::string& method, const std::string& path,
                                         const std::string& body = {}) const;

    // Operation requests of a user as the service recorded them (JSON, body order), and their count.
    std::string requests(const std::string& user, const std::string& action) const;
    std::size_t request_count(const std::string& user, const std::string& action) const;

    // A new account with a unique name; returns (name, password).
    std::pair<std::string, std::string> new_user(const std::string& prefix = "user",
                                                 long long capacity = 0) const;

    // Gives the transfer host a new key, which connections from now on see; answers it the way
    // a known-hosts file holds it: "ssh-rsa <base64>".
    std::string regenerate_host_key() const;

private:
    int http_port_ = 0;
    int sftp_port_ = 0;
};

} // namespace qm_test
