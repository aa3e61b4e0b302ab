// termsetup for a known terminal, booted again and again in a sandbox root
// against a real property service on loopback: wall time (the designed pauses
// scaled to zero), peak memory and binary size, each beside a baseline that
// the same run measures with the same harness (/bin/true started exactly as
// termsetup is, and the service's ping round trip).
//
//   termsetup_bench [runs]        default 30 runs
//
// Needs termsetup and posQOR_propertyd built in the same build directory.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr int SERVICE_PORT = 46910;
constexpr int DEFAULT_RUNS = 30;
constexpr int MAX_RUNS = 1000;
constexpr const char* MAC = "00:16:3e:4a:00:07";
constexpr const char* MODEL = "4852E66";
constexpr const char* SERIAL = "KX21A0457";

// A descriptor with one owner.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1)
        : fd_(fd)
    {
    }
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(Descriptor&& other) noexcept
        : fd_(std::exchange(other.fd_, -1))
    {
    }
    Descriptor& operator=(Descriptor&&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool writeFile(const fs::path& path, const std::string& content, mode_t mode = 0644)
{
    std::error_code ignored;
    fs::create_directories(path.parent_path(), ignored);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    return out.good() && ::chmod(path.c_str(), mode) == 0;
}

// ---- The property service ------------------------------------------------------

sockaddr_in serviceAddress(const std::string& address)
{
    sockaddr_in socketAddress {};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(SERVICE_PORT);
    ::inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr);
    return socketAddress;
}

// One exchange as the clients make it; the reply up to the service's close.
std::string ask(const std::string& address, std::string request)
{
    if (!request.starts_with("AKT=") && !request.starts_with("GEN=") && !request.starts_with("ping"))
        request += '\0';
    Descriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in server = serviceAddress(address);
    if (socket.get() < 0 || ::connect(socket.get(), reinterpret_cast<sockaddr*>(&server), sizeof server) != 0
        || ::send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return {};
    std::string reply;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(socket.get(), buffer, sizeof buffer, 0)) > 0;)
        reply.append(buffer, static_cast<std::size_t>(n));
    return reply;
}

// Whether the port is free on the address (nothing listens there).
bool portFree(const std::string& address)
{
    Descriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in candidate = serviceAddress(address);
    return socket.get() >= 0 && ::bind(socket.get(), reinterpret_cast<sockaddr*>(&candidate), sizeof candidate) == 0;
}

// posQOR_propertyd on a loopback address of its own; its pid, or -1.
pid_t startService(const std::string& program, const fs::path& database, std::string& address)
{
    unsigned seed = static_cast<unsigned>(::getpid()) * 2654435761u;
    for (unsigned attempt = 0; attempt < 50; ++attempt) {
        unsigned value = seed + attempt * 7919u;
        address = "127." + std::to_string(2 + (value >> 16) % 250) + "." + std::to_string((value >> 8) % 250 + 1) + "."
            + std::to_string(value % 250 + 2);
        if (!portFree(address))
            continue;
        pid_t pid = ::fork();
        if (pid == 0) {
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDERR_FILENO);
            ::execl(program.c_str(), program.c_str(), "-a", address.c_str(), "-p", "46910", "-d", database.c_str(),
                static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid < 0)
            return -1;
        for (int tries = 0; tries < 200; ++tries) {
            if (ask(address, "ping\n") == "pong\n")
                return pid;
            if (::waitpid(pid, nullptr, WNOHANG) == pid)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return -1;
}

// ---- The terminal's sandbox root -------------------------------------------------

// The kernel's copy of the SMBIOS tables with one System Information record.
void writeSmbios(const fs::path& root)
{
    std::string table = { 1, 8, 0, 1, 1, 2, 3, 4 };
    for (const char* text : { "Demo Systems", MODEL, "1.0", SERIAL })
        table += std::string(text) + '\0';
    table += std::string { '\0', 127, 4, 2, 1, '\0', '\0' };
    std::string entry = std::string("_SM_") + '\0' + '\x1F' + '\x02' + '\x08' + '\x80' + std::string(7, '\0') + "_DMI_"
        + '\0' + static_cast<char>(table.size() & 0xFF) + static_cast<char>(table.size() >> 8) + std::string(4, '\0')
        + '\x02' + '\0' + '\x28';
    auto checksum = [&entry](std::size_t first, std::size_t position) {
        unsigned sum = 0;
        for (std::size_t i = first; i < entry.size(); ++i)
            sum += static_cast<unsigned char>(entry[i]);
        entry[position] = static_cast<char>((256 - sum % 256) % 256);
    };
    checksum(16, 21);
    checksum(0, 4);
    writeFile(root / "sys/firmware/dmi/tables/smbios_entry_point", entry);
    writeFile(root / "sys/firmware/dmi/tables/DMI", table);
}

// A stub that appends its command line to a log, then runs body.
void writeStub(const fs::path& path, const std::string& name, const fs::path& log, const std::string& body = "")
{
    writeFile(path, "#!/bin/sh\nprintf '%s\\n' \"" + name + " $*\" >> '" + log.string() + "'\n" + body + "\n", 0755);
}

// Hardware, store files and stub tools of a terminal with 1 GiB of memory and
// a 20 GiB disk, registered as terminal 7 with the role Manager.
void prepareRoot(const fs::path& box, const std::string& address)
{
    const fs::path root = box / "root";
    const fs::path retail = root / "etc/opt/qor/retail";
    for (const char* directory : { "tmp", "config", "sbin", "usr/bin", "var/run", "var/opt/qor/retail/stn" })
        fs::create_directories(root / directory);
    writeFile(root / "dev/tty2", "");
    writeFile(root / "dev/mem", "");
    writeFile(root / "proc/meminfo", "MemTotal: 1048576 kB\nMemFree: 1000 kB\nSwapTotal: 0 kB\nSwapFree: 0 kB\n");
    writeFile(root / "proc/partitions", "major minor  #blocks  name\n\n   8        0 20971520 sda\n");
    writeFile(root / "var/lib/dhcpcd/dhcpcd-eth0.info", "IPADDR=192.0.2.17\nDHCPSIADDR=" + address + "\n");
    writeSmbios(root);
    writeFile(retail / "Roles4c",
        "Roles.count=2\nRole001=Cashier\nRole001.description=Checkout lane\n"
        "Role002=Manager\nRole002.description=Back office\n");
    writeFile(retail / "Roles", "Role001=Cashier\nRole002=Manager\n");
    writeFile(retail / "Role001",
        "TerminalRole.name=Cashier\nRAMDrive.1.mountPoint=/\nRAMDrive.1.loadImage=posQOR_POS\n"
        "RAMDrive.2.mountPoint=/opt/qor\nRAMDrive.2.loadImage=posQOR_APP\n");
    writeFile(retail / "Role002",
        "TerminalRole.name=Manager\nHardDrive.0.number=0\nHardDrive.0.swapPartitionSize=512\n"
        "HardDrive.0.Partition.1.size=40\nHardDrive.0.Partition.1.mountPoint=/\n"
        "HardDrive.0.Partition.1.loadImage=posQOR_POS\nHardDrive.0.Partition.2.size=100\n"
        "HardDrive.0.Partition.2.mountPoint=/var/opt/qor\n");
    writeFile(retail / "posQOR_global", "LowestTerminalNumber=1\nHighestTerminalNumber=9\nstore.name=Bench\n");
    writeFile(retail / "posQOR_imageDirContents.txt",
        "posQOR_POS-3.1.0-2026.06.01.gz\nposQOR_POS-3.2.1-2026.11.20.gz\nposQOR_APP-1.4.0-2026.11.02.gz\n"
        "posQOR_STNJ-2.1.0-2005.06.15.gz\nposQOR_STNC-2.1.0-2005.06.15.gz\ndefault-1.0.0-2005.01.01\n");
    writeFile(retail / "posQOR_imageDirSizes.txt",
        "100000 posQOR_ilink_posQOR_STNJY2005M6D15Z1-2.1.0.gz\n"
        "150000 posQOR_ilink_posQOR_STNCY2005M6D15Z1-2.1.0.gz\n");
    const fs::path log = box / "commands.log";
    for (const char* tool : { "setterm", "clear", "host", "hostname", "tar", "gunzip" })
        writeStub(box / "stubs" / tool, tool, log);
    writeStub(root / "sbin/reboot", "/sbin/reboot", log);
}

// What a boot leaves behind goes, so that every run starts as a fresh boot.
void resetRoot(const fs::path& root)
{
    std::error_code ignored;
    fs::remove(root / "etc/opt/qor/retail/posQOR_configuration", ignored);
    fs::remove(root / "etc/config.rc", ignored);
    fs::remove_all(root / "config", ignored);
    fs::create_directories(root / "config", ignored);
    writeFile(root / "dev/tty2", "");
}

// Whether the run took the known terminal's road: number 7 from the service.
bool knownAsSeven(const fs::path& root)
{
    std::ifstream in(root / "etc/opt/qor/retail/posQOR_configuration");
    for (std::string line; std::getline(in, line);) {
        if (line == "TerminalNumber=7")
            return true;
    }
    return false;
}

// The designed pauses that a run logged (POSQOR_WAIT_LOG lines "<what> <ms>"):
// their count and their length at full scale.
void countWaits(const fs::path& log, long& count, unsigned long& milliseconds)
{
    std::ifstream in(log);
    std::string word;
    unsigned long length = 0;
    while (in >> word >> length) {
        ++count;
        milliseconds += length;
    }
    std::error_code ignored;
    fs::remove(log, ignored);
}

// ---- Measuring ---------------------------------------------------------------------

struct Sample {
    double milliseconds = 0;
    long peakKb = 0; // the largest process of the run (supervisor, worker, shell commands)
    int status = -1;
};

// Runs argv in the root with the environment, in a collector process that
// waits for the program and reports the largest resident size among every
// process of the run (the program's reaped descendants count towards it).
// Linux keeps a process's resident high-water mark across exec, so every
// figure includes the forked copy of this harness; the /bin/true baseline
// shows that floor.
Sample measure(const std::vector<std::string>& argv, const std::vector<std::string>& environment, const fs::path& root)
{
    int channel[2];
    Sample sample;
    if (::pipe2(channel, O_CLOEXEC) != 0)
        return sample;
    Descriptor reader(channel[0]);
    Clock::time_point start = Clock::now();
    pid_t collector = ::fork();
    if (collector == 0) {
        ::setpgid(0, 0);
        pid_t program = ::fork();
        if (program == 0) {
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            std::vector<char*> arguments, variables;
            for (const std::string& word : argv)
                arguments.push_back(const_cast<char*>(word.c_str()));
            for (const std::string& variable : environment)
                variables.push_back(const_cast<char*>(variable.c_str()));
            arguments.push_back(nullptr);
            variables.push_back(nullptr);
            if (::chdir(root.c_str()) == 0)
                ::execve(arguments[0], arguments.data(), variables.data());
            _exit(127);
        }
        int status = 0;
        ::waitpid(program, &status, 0);
        rusage tree {};
        ::getrusage(RUSAGE_CHILDREN, &tree);
        Sample result;
        result.peakKb = tree.ru_maxrss;
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        ssize_t ignored = ::write(channel[1], &result, sizeof result);
        (void)ignored;
        _exit(0);
    }
    ::close(channel[1]);
    if (collector < 0)
        return sample;
    if (::read(reader.get(), &sample, sizeof sample) != static_cast<ssize_t>(sizeof sample))
        sample.status = -1;
    ::waitpid(collector, nullptr, 0);
    sample.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return sample;
}

struct Summary {
    double median = 0, minimum = 0, p90 = 0;
};

Summary summarise(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    if (values.empty())
        return {};
    std::size_t p90 = (values.size() * 9 + 9) / 10 - 1;
    return { values[values.size() / 2], values.front(), values[std::min(p90, values.size() - 1)] };
}

long fileSize(const fs::path& path)
{
    std::error_code error;
    auto size = fs::file_size(path, error);
    return error ? -1 : static_cast<long>(size);
}

// The size of the program once stripped of symbols and debugging data.
long strippedSize(const fs::path& program, const fs::path& scratch)
{
    std::string command = "strip -o '" + scratch.string() + "' '" + program.string() + "' 2>/dev/null";
    return std::system(command.c_str()) == 0 ? fileSize(scratch) : -1;
}

bool userNamespaceAvailable()
{
    return std::system("unshare -Ur true >/dev/null 2>&1") == 0;
}

} // namespace

int main(int argc, char** argv)
{
    int runs = DEFAULT_RUNS;
    if (argc > 1) {
        runs = std::atoi(argv[1]);
        if (runs < 1 || runs > MAX_RUNS) {
            std::fprintf(stderr, "usage: termsetup_bench [runs, 1 to %d]\n", MAX_RUNS);
            return 2;
        }
    }
    const fs::path binary = POSQOR_BINARY_DIR;
    const fs::path termsetup = binary / "termsetup/termsetup";
    const fs::path propertyd = binary / "service/posQOR_propertyd";
    if (::access(termsetup.c_str(), X_OK) != 0 || ::access(propertyd.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "build termsetup and posQOR_propertyd first (%s)\n", binary.c_str());
        return 1;
    }

    std::string pattern = (fs::temp_directory_path() / "posqor-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path box = pattern;
    std::string address;
    pid_t service = startService(propertyd.string(), box / "properties.db", address);
    int result = 1;
    if (service < 0) {
        std::fprintf(stderr, "the property service could not be started on a loopback address\n");
    } else if (ask(address, std::string("STN=7=MT.") + MODEL + ".SN." + SERIAL + "=" + MAC + "=Manager\n") != "ok\n") {
        std::fprintf(stderr, "the service did not register the terminal\n");
    } else {
        prepareRoot(box, address);
        const fs::path root = box / "root";
        const std::vector<std::string> environment = {
            "PATH=" + (box / "stubs").string() + ":/usr/bin:/bin:/usr/sbin:/sbin",
            "HOME=" + box.string(),
            "LANG=C",
            "TERM=dumb",
            "POSQOR_ROOT=" + root.string(),
            "POSQOR_WAIT_SCALE=0",
            "POSQOR_WAIT_LOG=" + (box / "waits.log").string(),
            "TSERVER=" + address,
            std::string("DHCPCHADDR=") + MAC,
            "productBIOS=Bench BIOS 1.0",
            std::string("productID=") + MODEL,
        };
        // A wrong path inside the program can never reach the real system
        // from inside a user namespace; the baseline starts the same way.
        std::vector<std::string> prefix;
        if (userNamespaceAvailable())
            prefix = { "/usr/bin/unshare", "-Ur", "--" };
        std::vector<std::string> termsetupCommand = prefix, baselineCommand = prefix;
        termsetupCommand.push_back(termsetup.string());
        baselineCommand.push_back("/bin/true");

        std::vector<double> termsetupTimes, baselineTimes, pingTimes;
        long peak = 0, baselinePeak = 0;
        int failures = 0;
        long waits = 0;
        unsigned long waitedMilliseconds = 0;
        // One warm-up run of each, not counted.
        resetRoot(root);
        measure(termsetupCommand, environment, root);
        measure(baselineCommand, environment, root);
        countWaits(box / "waits.log", waits, waitedMilliseconds);
        waits = 0;
        waitedMilliseconds = 0;
        for (int run = 0; run < runs; ++run) {
            resetRoot(root);
            Sample sample = measure(termsetupCommand, environment, root);
            if (sample.status != 0 || fileSize(root / "etc/config.rc") <= 0 || !knownAsSeven(root))
                ++failures;
            countWaits(box / "waits.log", waits, waitedMilliseconds);
            termsetupTimes.push_back(sample.milliseconds);
            peak = std::max(peak, sample.peakKb);
            Sample baseline = measure(baselineCommand, environment, root);
            baselineTimes.push_back(baseline.milliseconds);
            baselinePeak = std::max(baselinePeak, baseline.peakKb);
            Clock::time_point start = Clock::now();
            std::string pong = ask(address, "ping\n");
            pingTimes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            if (pong != "pong\n")
                ++failures;
        }
        Summary timeTermsetup = summarise(termsetupTimes), timeBaseline = summarise(baselineTimes),
                timePing = summarise(pingTimes);
        long unstripped = fileSize(termsetup), stripped = strippedSize(termsetup, box / "termsetup.stripped");
        long trueUnstripped = fileSize("/bin/true"), trueStripped = strippedSize("/bin/true", box / "true.stripped");

        std::printf("termsetup, known terminal, %d runs in a sandbox root%s, designed pauses scaled to 0\n", runs,
            prefix.empty() ? "" : " (inside unshare -Ur)");
        std::printf("program: %s\n", termsetup.c_str());
        std::printf("designed pauses skipped per run: %ld, %lu ms at full scale\n", waits / runs,
            waitedMilliseconds / static_cast<unsigned long>(runs));
        std::printf("%-34s %10s %10s %10s\n", "wall time (ms)", "median", "min", "p90");
        std::printf("%-34s %10.2f %10.2f %10.2f\n", "  termsetup", timeTermsetup.median, timeTermsetup.minimum,
            timeTermsetup.p90);
        std::printf("%-34s %10.2f %10.2f %10.2f\n", "  baseline: /bin/true, same harness", timeBaseline.median,
            timeBaseline.minimum, timeBaseline.p90);
        std::printf("%-34s %10.3f %10.3f %10.3f\n", "  baseline: service ping round trip", timePing.median,
            timePing.minimum, timePing.p90);
        std::printf("  termsetup / true: %.1fx; termsetup - true: %.2f ms; termsetup / ping: %.0fx\n",
            timeTermsetup.median / timeBaseline.median, timeTermsetup.median - timeBaseline.median,
            timeTermsetup.median / timePing.median);
        std::printf("peak resident memory (KiB, largest over the runs)\n");
        std::printf("  termsetup (largest process of the run) %ld; /bin/true %ld; ratio %.1fx\n", peak, baselinePeak,
            baselinePeak > 0 ? static_cast<double>(peak) / baselinePeak : 0.0);
        std::printf("binary size (bytes)\n");
        std::printf("  termsetup %ld unstripped, %ld stripped; /bin/true %ld, %ld stripped; stripped ratio %.1fx\n",
            unstripped, stripped, trueUnstripped, trueStripped,
            trueStripped > 0 ? static_cast<double>(stripped) / trueStripped : 0.0);
        if (failures > 0)
            std::printf("FAILED: %d runs did not complete\n", failures);
        result = failures == 0 ? 0 : 1;
    }
    if (service > 0) {
        ::kill(service, SIGTERM);
        ::waitpid(service, nullptr, 0);
    }
    std::error_code ignored;
    fs::remove_all(box, ignored);
    return result;
}
