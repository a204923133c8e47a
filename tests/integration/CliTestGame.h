// A small game for koruvan-cli on loopback: five generated files (an installer script and
// four cabinets of random bytes) with their single-file torrents, the sec configuration
// and the resource list, served by nginx on 127.0.0.1, and a plan file naming them all.
// Also: running koruvan-cli as a child process, the bytes nginx served, and whether the
// engine can download at all on this build.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/LocalServer.h"
#include "support/TempDir.h"
#include "support/TestProgram.h"

namespace koruvan::test {

// koruvan-cli running as a child process with its output in files.
class CliProcess : public TestProgram {
  public:
    // Starts koruvan-cli with `args` in the folder `workDir`; standard output and error go
    // to the two files; its lock files go to `workDir`.
    bool Start(const std::vector<std::string>& args, const std::string& outFile,
               const std::string& errFile, const std::string& workDir);
    // The exit code; 128 + signal when a signal ended it; -1 when it was still running after
    // `limit` (it is then killed).
    int Wait(std::chrono::seconds limit) { return TestProgram::Wait(limit, true); }
};

struct CliResult {
    int code = -1;
    std::string out;
    std::string err;
};

class TestGame {
  public:
    // Cabinet sizes in bytes (four of them); the installer is a small shell script that
    // writes "installed.txt" into its working folder. `rateLimit` (nginx syntax, e.g.
    // "256k") slows every connection down, so that a test can act in mid-download.
    // `pieceLength` replaces the plan's piece lengths (32 KiB, 2 MiB, 1 MiB) when not 0.
    explicit TestGame(std::vector<std::uint64_t> cabinetSizes, const std::string& rateLimit = "",
                      std::uint64_t pieceLength = 0);
    ~TestGame();

    [[nodiscard]] bool Started() const { return started_; }
    // Serves on at another per-connection rate ("" for none), on the same port and log.
    bool RestartServer(const std::string& rateLimit);
    // The web-source connection budget of the downloads (KoruvanTaskLink.ini in the folder
    // koruvan-cli runs in).
    void SetConnectionBudget(int connections);
    [[nodiscard]] const std::string& PlanFile() const { return planFile_; }
    // The statistics URLs of the plan's telemetry configuration (SubmitUrl, SubmitUrl1, …
    // of the batch section); by default the game's own server, which accepts and drops them.
    void SetTelemetryUrls(const std::vector<std::string>& batchUrls);
    // Adds (or replaces) the plan's [telemetry] section.
    void SetPlanTelemetry(bool enabled);
    [[nodiscard]] std::string DataDir() const { return dir_.File("data"); }
    [[nodiscard]] std::string SaveDir() const { return dir_.File("save"); }
    [[nodiscard]] std::string Target(int i) const { return SaveDir() + "/" + names_[i]; }
    [[nodiscard]] const std::string& Name(int i) const { return names_[i]; }
    [[nodiscard]] std::uint64_t TotalBytes() const;
    [[nodiscard]] std::uint64_t PieceLength(int i) const;
    [[nodiscard]] const std::string& Url(int i) const { return urls_[i]; }
    [[nodiscard]] std::string Path(const std::string& name) const { return dir_.File(name); }

    // Runs `koruvan-cli --plan P --data-dir D <args>` and waits (at most `limit`).
    CliResult Run(const std::vector<std::string>& args,
                  std::chrono::seconds limit = std::chrono::seconds(120));
    // The same, left running.
    std::unique_ptr<CliProcess> StartCli(const std::vector<std::string>& args,
                                         const std::string& tag);
    [[nodiscard]] CliResult Output(const std::string& tag) const;

    // How many of the five files in the save folder have their planned digest.
    [[nodiscard]] int MatchingFiles() const;
    // Body bytes nginx has sent for the five files so far.
    [[nodiscard]] std::uint64_t ServedBytes() const;
    // Marks the download as finished the way the controller records it, with the files
    // written in place (for commands that need a finished download but no transfer).
    // `entrance` names the installer to launch (default: file 0).
    void PretendFinished(const std::string& entrance = "");

    // --- the swarm side ---
    // The resource list's P2P switch (off unless a test turns it on).
    void SetListP2p(bool on);
    // Replaces the trackers of the five torrents (their info hashes stay the same).
    void UseTrackers(const std::vector<std::string>& announceUrls);
    // Replaces the body of the plan's [p2p] section ("key = value\n" lines).
    void SetP2p(const std::string& lines);
    // Takes the five files off the web server: every web source answers 404.
    void RemoveWebFiles();
    // Writes the five files into `folder` (a seeder's).
    void WriteFilesTo(const std::string& folder) const;
    [[nodiscard]] std::string TorrentFile(int i) const;
    [[nodiscard]] std::vector<std::string> TorrentFiles() const;
    // The info hash of file i's torrent, 40 lower-case hexadecimal digits.
    [[nodiscard]] std::string InfoHashHex(int i) const;

  private:
    void WriteFiles(const std::vector<std::uint64_t>& cabinetSizes);
    void MakeServer(int port, const std::string& rateLimit);
    void WritePlan();

    TempDir dir_;
    std::unique_ptr<NginxServer> nginx_;
    bool started_ = false;
    std::string planFile_;
    std::string workDir_;
    std::vector<std::string> names_;
    std::vector<std::string> contents_;
    std::vector<std::string> digests_;
    std::vector<std::string> urls_;
    std::vector<int> trackerPorts_;
    std::vector<std::string> torrents_;
    std::uint64_t pieceLength_ = 0;
};

// Whether the engine of this build downloads a file from nginx at all (probed once per
// process with a small file; false with the reason when it does not).
[[nodiscard]] bool EngineCanDownload(std::string& why);

}  // namespace koruvan::test
