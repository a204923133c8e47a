// FTP servers for integration tests, on 127.0.0.1 with free ports (passive ports too):
// vsftpd with its own configuration in the work folder, and the scripted server
// (fixtures/scripted_ftp.py) for what vsftpd does not do on request.
//
// vsftpd's user login: a virtual user ("koruvan", password "s3cret") checked by pam_userdb
// against a database file in the work folder. PAM only reads /etc/pam.d, so vsftpd runs in
// a private mount namespace in which the work folder's pam.d is bound over /etc/pam.d:
// nothing on the machine changes and no system account is made. The virtual user works as
// the "ftp" account vsftpd's package installs. Needs root and unshare; UserLoginAvailable
// says why not when it cannot run.
#pragma once

#include <cstdint>
#include <string>

#include "support/LocalServer.h"

namespace koruvan::test {

class VsftpdServer {
  public:
    static constexpr const char* kUser = "koruvan";
    static constexpr const char* kPassword = "s3cret";

    // Serves `root` (which must be world-readable and not writable by others).
    VsftpdServer(std::string workDir, std::string root);
    ~VsftpdServer() { Stop(); }

    // `maxRate`: bytes per second per session, 0 for none. `withUser`: the virtual user
    // (see above); anonymous logins work either way. A restart keeps the port.
    bool Start(std::uint64_t maxRate = 0, bool withUser = false);
    void Stop() { process_.Stop(); }
    [[nodiscard]] int Port() const { return port_; }
    // "ftp://[login@]127.0.0.1:port" + path.
    [[nodiscard]] std::string Url(const std::string& path, const std::string& login = "") const;
    // vsftpd's log: protocol lines and one "OK DOWNLOAD"/"FAIL DOWNLOAD" line per transfer.
    [[nodiscard]] std::string Log() const;
    // Bytes vsftpd reports as sent by finished and failed transfers.
    [[nodiscard]] std::uint64_t SentBytes() const;

    // Whether the virtual user can be set up here; the reason when not.
    static bool UserLoginAvailable(std::string& why);

  private:
    bool WriteUserLogin();

    std::string workDir_;
    std::string root_;
    int port_ = 0;
    ChildProcess process_;
};

// The scripted server in one of its modes (see fixtures/scripted_ftp.py).
class ScriptedFtpServer {
  public:
    bool Start(const std::string& root, const std::string& mode, const std::string& log = "",
               std::uint64_t after = 0);
    [[nodiscard]] std::string Url(const std::string& path) const;
    [[nodiscard]] int Port() const { return port_; }

  private:
    int port_ = 0;
    ChildProcess process_;
};

}  // namespace koruvan::test
