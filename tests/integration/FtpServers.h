// FTP servers for integration tests, on 127.0.0.1 with free ports (passive ports too):
// vsftpd and pure-ftpd with their own configuration in the work folder, and the scripted
// server (fixtures/scripted_ftp.py) for what neither does on request.
//
// The user login ("koruvan", password "s3cret") is a virtual user in both: vsftpd checks it
// with pam_userdb against a database file in the work folder (PAM only reads /etc/pam.d, so
// vsftpd runs in a private mount namespace in which the work folder's pam.d is bound over
// /etc/pam.d); pure-ftpd checks it against its own password database in the work folder.
// The virtual user works as the "ftp" account vsftpd's package installs. pure-ftpd's
// anonymous users get the "ftp" account's home, over which the served folder is bound in a
// private mount namespace. Nothing on the machine changes and no system account is made.
// Both need root and unshare; Available / UserLoginAvailable say why not when they cannot
// run.
#pragma once

#include <cstdint>
#include <string>

#include "support/LocalServer.h"

namespace koruvan::test {

// What the tests use of a real FTP server.
class FtpServer {
  public:
    static constexpr const char* kUser = "koruvan";
    static constexpr const char* kPassword = "s3cret";

    virtual ~FtpServer() = default;
    // `maxRate`: bytes per second per session, 0 for none. `withUser`: the virtual user
    // (see above); without it the server lets anonymous users in. A restart keeps the port.
    virtual bool Start(std::uint64_t maxRate = 0, bool withUser = false) = 0;
    virtual void Stop() = 0;
    [[nodiscard]] int Port() const { return port_; }
    // "ftp://[login@]127.0.0.1:port" + path.
    [[nodiscard]] std::string Url(const std::string& path, const std::string& login = "") const;
    // What the server logged (for failure messages).
    [[nodiscard]] virtual std::string Log() const = 0;

  protected:
    int port_ = 0;
};

class VsftpdServer final : public FtpServer {
  public:
    // Serves `root` (which must be world-readable and not writable by others).
    VsftpdServer(std::string workDir, std::string root);
    ~VsftpdServer() override { Stop(); }

    bool Start(std::uint64_t maxRate = 0, bool withUser = false) override;
    void Stop() override { process_.Stop(); }
    // Anonymous users are logged in at USER, without a password (no_anon_password, as
    // public mirrors run it): the server answers USER with 230. From the next Start on.
    void SetAnonymousAtUser(bool on) { anonymousAtUser_ = on; }
    // vsftpd's log: protocol lines and one "OK DOWNLOAD"/"FAIL DOWNLOAD" line per transfer.
    [[nodiscard]] std::string Log() const override;
    // Bytes vsftpd reports as sent by finished and failed transfers.
    [[nodiscard]] std::uint64_t SentBytes() const;

    // Whether the virtual user can be set up here; the reason when not.
    static bool UserLoginAvailable(std::string& why);

  private:
    bool WriteUserLogin();

    std::string workDir_;
    std::string root_;
    bool anonymousAtUser_ = false;
    ChildProcess process_;
};

// pure-ftpd: anonymous users are logged in at USER (230, no PASS); the virtual user with a
// password.
class PureFtpdServer final : public FtpServer {
  public:
    // Serves `root` (which must be world-readable).
    PureFtpdServer(std::string workDir, std::string root);
    ~PureFtpdServer() override { Stop(); }

    bool Start(std::uint64_t maxRate = 0, bool withUser = false) override;
    void Stop() override { process_.Stop(); }
    // The transfer log: one line per transfer with the bytes sent.
    [[nodiscard]] std::string Log() const override;

    // Whether pure-ftpd can run here; the reason when not.
    static bool Available(std::string& why);

  private:
    bool WriteUserLogin();

    std::string workDir_;
    std::string root_;
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
