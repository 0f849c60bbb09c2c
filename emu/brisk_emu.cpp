// brisk-emu: runs a command against emulated SCSI devices. The devices of a
// scenario appear as /dev nodes and sysfs entries of a umockdev test bed;
// their SG_IO and SG_SCSI_RESET ioctls are answered here by the device
// models, and every command is logged as one JSON line.
#include <fcntl.h>
#include <sched.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <glib.h>
#include <nlohmann/json.hpp>
#include <umockdev.h>

#include "model.h"
#include "scenario.h"
#include "uscsi_linux_map.h" // the kernel's newer reset values

namespace {

constexpr int USAGE_STATUS = 125; // like env(1): the runner itself failed

struct options {
    std::string scenario;
    std::string log;
    std::string images;
    std::vector<char *> command;
};

[[noreturn]] void die(const std::string &msg)
{
    fprintf(stderr, "brisk-emu: %s\n", msg.c_str());
    exit(USAGE_STATUS);
}

void usage()
{
    fputs("usage: brisk-emu --scenario FILE [--log FILE] [--images DIR] -- COMMAND [ARGS...]\n",
          stderr);
    exit(USAGE_STATUS);
}

options parse_options(int argc, char **argv)
{
    options o;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--") {
            ++i;
            break;
        } else if (a == "--scenario") {
            o.scenario = value();
        } else if (a == "--log") {
            o.log = value();
        } else if (a == "--images") {
            o.images = value();
        } else {
            usage();
        }
    }
    for (; i < argc; ++i)
        o.command.push_back(argv[i]);
    o.command.push_back(nullptr);
    if (o.scenario.empty() || o.command.size() < 2)
        usage();
    return o;
}

double wall_clock()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string hex(const uint8_t *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// The bench's state, shared by the worker thread that answers ioctls and the
// main thread that writes the images at the end.
struct bench {
    std::vector<std::unique_ptr<emu::device>> devices;
    std::map<std::string, emu::device *> by_node; // "/dev/..." -> device
    FILE *log = nullptr;
    double start = 0;
    std::mutex lock;
};

struct route {
    bench *b;
    emu::device *dev;
};

void log_line(bench &b, nlohmann::ordered_json line)
{
    if (!b.log)
        return;
    line["t"] = std::round((wall_clock() - b.start) * 1e6) / 1e6;
    const std::string text = line.dump();
    fprintf(b.log, "%s\n", text.c_str());
    fflush(b.log);
}

struct data_ref {
    UMockdevIoctlData *p = nullptr;
    ~data_ref()
    {
        if (p)
            g_object_unref(p);
    }
};

bool resolve(UMockdevIoctlData *base, size_t offset, size_t len, data_ref *out)
{
    GError *err = nullptr;
    out->p = umockdev_ioctl_data_resolve(base, offset, len, &err);
    if (err) {
        g_error_free(err);
        return false;
    }
    return true;
}

void answer_sg_io(route *r, UMockdevIoctlClient *c, const char *node)
{
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(c);
    data_ref hd;
    if (!resolve(arg, 0, sizeof(sg_io_hdr_t), &hd) || !hd.p) {
        umockdev_ioctl_client_complete(c, -1, EFAULT);
        return;
    }
    auto *hdr = reinterpret_cast<sg_io_hdr_t *>(hd.p->data);
    if (hdr->interface_id != 'S') {
        umockdev_ioctl_client_complete(c, -1, ENOSYS);
        return;
    }
    data_ref cdb, dx, sb;
    if (hdr->cmd_len == 0 || !resolve(hd.p, offsetof(sg_io_hdr_t, cmdp), hdr->cmd_len, &cdb) ||
        !cdb.p) {
        umockdev_ioctl_client_complete(c, -1, EFAULT);
        return;
    }
    const bool to_dev = hdr->dxfer_direction == SG_DXFER_TO_DEV;
    const bool from_dev = hdr->dxfer_direction == SG_DXFER_FROM_DEV ||
                          hdr->dxfer_direction == SG_DXFER_TO_FROM_DEV;
    const size_t xfer = (to_dev || from_dev) ? hdr->dxfer_len : 0;
    if (xfer && (hdr->iovec_count != 0 ||
                 !resolve(hd.p, offsetof(sg_io_hdr_t, dxferp), xfer, &dx) || !dx.p)) {
        umockdev_ioctl_client_complete(c, -1, EFAULT);
        return;
    }
    if (hdr->mx_sb_len && !resolve(hd.p, offsetof(sg_io_hdr_t, sbp), hdr->mx_sb_len, &sb)) {
        umockdev_ioctl_client_complete(c, -1, EFAULT);
        return;
    }

    const emu::bytes command(cdb.p->data, cdb.p->data + hdr->cmd_len);
    emu::bytes out;
    if (to_dev)
        out.assign(dx.p->data, dx.p->data + xfer);

    bench &b = *r->b;
    std::lock_guard<std::mutex> guard(b.lock);
    const emu::reply rep = r->dev->command(command, out, from_dev ? xfer : 0, wall_clock());
    if (!rep.violation.empty())
        log_line(b, {{"violation", rep.violation}, {"device", r->dev->config().name},
                     {"node", node}});

    nlohmann::ordered_json line = {
        {"node", node},
        {"device", r->dev->config().name},
        {"cdb", hex(command.data(), command.size())},
        {"dir", to_dev ? "out" : from_dev ? "in" : "none"},
        {"len", xfer},
        {"timeout_ms", hdr->timeout},
    };
    if (to_dev) {
        gchar *sum = g_compute_checksum_for_data(G_CHECKSUM_SHA256, out.data(), out.size());
        line["sha256"] = sum;
        g_free(sum);
    }
    if (rep.ioctl_errno) {
        line["errno"] = rep.ioctl_errno;
        log_line(b, std::move(line));
        umockdev_ioctl_client_complete(c, -1, rep.ioctl_errno);
        return;
    }

    if (from_dev && !rep.data_in.empty())
        memcpy(dx.p->data, rep.data_in.data(), rep.data_in.size());
    size_t sense_len = 0;
    if (!rep.sense.empty() && sb.p) {
        sense_len = std::min<size_t>(rep.sense.size(), hdr->mx_sb_len);
        memcpy(sb.p->data, rep.sense.data(), sense_len);
    }
    hdr->status = rep.status;
    hdr->masked_status = static_cast<unsigned char>((rep.status >> 1) & 0x7F);
    hdr->msg_status = 0;
    hdr->sb_len_wr = static_cast<unsigned char>(sense_len);
    hdr->host_status = static_cast<unsigned short>(rep.host_status);
    hdr->driver_status = rep.status == 0x02 && !rep.sense.empty() ? 0x08 /* DRIVER_SENSE */ : 0;
    const size_t used = from_dev ? rep.data_in.size() : to_dev ? rep.out_used : 0;
    hdr->resid = static_cast<int>(xfer - std::min(used, xfer));
    hdr->duration = 1;
    hdr->info = (rep.status || rep.host_status || hdr->driver_status) ? SG_INFO_CHECK : SG_INFO_OK;

    line["status"] = rep.status;
    if (rep.host_status)
        line["host_status"] = rep.host_status;
    line["resid"] = hdr->resid;
    line["sense"] = hex(rep.sense.data(), sense_len);
    if (from_dev)
        line["in"] = hex(rep.data_in.data(), std::min<size_t>(rep.data_in.size(), 256));
    log_line(b, std::move(line));
    umockdev_ioctl_client_complete(c, 0, 0);
}

void answer_reset(route *r, UMockdevIoctlClient *c, const char *node)
{
    data_ref v;
    if (!resolve(umockdev_ioctl_client_get_arg(c), 0, sizeof(int), &v) || !v.p) {
        umockdev_ioctl_client_complete(c, -1, EFAULT);
        return;
    }
    int op = 0;
    memcpy(&op, v.p->data, sizeof op);
    static const char *const names[] = {"nothing", "device", "bus", "host", "target"};
    const int what = op & 0xFF;
    bench &b = *r->b;
    std::lock_guard<std::mutex> guard(b.lock);
    nlohmann::ordered_json line = {{"node", node},
                           {"device", r->dev->config().name},
                           {"reset", what <= 4 ? names[what] : "unknown"},
                           {"no_escalate", (op & SG_SCSI_RESET_NO_ESCALATE) != 0}};
    if (what > 4) {
        line["errno"] = EINVAL;
        log_line(b, std::move(line));
        umockdev_ioctl_client_complete(c, -1, EINVAL);
        return;
    }
    const double now = wall_clock();
    const bool whole_host = what == SG_SCSI_RESET_BUS || what == SG_SCSI_RESET_HOST;
    auto on_host = [&](const emu::device &d) { return d.config().host == r->dev->config().host; };
    for (auto &d : b.devices)
        if (whole_host && on_host(*d) && d->busy(now))
            log_line(b, {{"violation", names[what] + std::string(" reset while ") + d->busy(now)},
                         {"device", d->config().name},
                         {"node", node}});
    const int err = r->dev->reset_fault();
    if (err) {
        line["errno"] = err;
        log_line(b, std::move(line));
        umockdev_ioctl_client_complete(c, -1, err);
        return;
    }
    if (what == SG_SCSI_RESET_DEVICE || what == SG_SCSI_RESET_TARGET) {
        r->dev->reset(now);
    } else if (whole_host) {
        for (auto &d : b.devices)
            if (on_host(*d))
                d->reset(now);
    }
    log_line(b, std::move(line));
    umockdev_ioctl_client_complete(c, 0, 0);
}

void answer_int(UMockdevIoctlClient *c, int value)
{
    data_ref v;
    if (!resolve(umockdev_ioctl_client_get_arg(c), 0, sizeof(int), &v) || !v.p) {
        umockdev_ioctl_client_complete(c, -1, EFAULT);
        return;
    }
    memcpy(v.p->data, &value, sizeof value);
    umockdev_ioctl_client_complete(c, 0, 0);
}

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *c, gpointer user)
{
    auto *r = static_cast<route *>(user);
    const gulong request = umockdev_ioctl_client_get_request(c);
    const char *node = umockdev_ioctl_client_get_devnode(c);
    switch (request) {
    case SG_IO:
        answer_sg_io(r, c, node);
        break;
    case SG_SCSI_RESET:
        answer_reset(r, c, node);
        break;
    case SG_GET_VERSION_NUM:
        answer_int(c, 30536);
        break;
    case SG_GET_RESERVED_SIZE:
        answer_int(c, 32768);
        break;
    case SG_SET_RESERVED_SIZE:
    case SG_SET_TIMEOUT:
        umockdev_ioctl_client_complete(c, 0, 0);
        break;
    case SG_GET_TIMEOUT:
        umockdev_ioctl_client_complete(c, 60 * 100, 0);
        break;
    case SG_EMULATED_HOST:
        answer_int(c, 0);
        break;
    default: {
        std::lock_guard<std::mutex> guard(r->b->lock);
        char req[16];
        snprintf(req, sizeof req, "0x%lx", request);
        log_line(*r->b, {{"node", node}, {"ioctl", req}, {"errno", ENOTTY}});
        umockdev_ioctl_client_complete(c, -1, ENOTTY);
        break;
    }
    }
    return TRUE;
}

// The command must never reach the host's own devices: it runs in a private
// mount namespace whose /dev holds only the harmless character devices.
void private_dev()
{
    if (unshare(CLONE_NEWNS) != 0)
        die(std::string("cannot make a private mount namespace (run as root): ") +
            strerror(errno));
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        die(std::string("cannot make / private: ") + strerror(errno));
    if (mount("emu-dev", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=1m") != 0)
        die(std::string("cannot mount a tmpfs on /dev: ") + strerror(errno));
    struct node {
        const char *name;
        unsigned major, minor;
    };
    static const node nodes[] = {{"null", 1, 3},   {"zero", 1, 5},    {"full", 1, 7},
                                 {"random", 1, 8}, {"urandom", 1, 9}, {"tty", 5, 0}};
    for (const node &n : nodes) {
        const std::string p = std::string("/dev/") + n.name;
        if (mknod(p.c_str(), S_IFCHR | 0666, makedev(n.major, n.minor)) != 0)
            die("cannot make " + p + ": " + strerror(errno));
        chmod(p.c_str(), 0666);
    }
    mkdir("/dev/pts", 0755);
    mkdir("/dev/shm", 01777);
    auto link = [](const char *target, const char *path) {
        if (symlink(target, path) != 0)
            die(std::string("cannot make ") + path + ": " + strerror(errno));
    };
    // Without a private devpts there is no ptmx to link to.
    if (mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
              "newinstance,ptmxmode=0666,mode=0620") == 0)
        link("pts/ptmx", "/dev/ptmx");
    link("/proc/self/fd", "/dev/fd");
    link("/proc/self/fd/0", "/dev/stdin");
    link("/proc/self/fd/1", "/dev/stdout");
    link("/proc/self/fd/2", "/dev/stderr");
}

// The test bed's files live on a tmpfs of the private namespace: on a disk
// file system, making and removing them for many drives costs more than
// the whole run of the command.
std::string private_testbed_dir()
{
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/brisk-emu.XXXXXX";
    if (!mkdtemp(dir.data()))
        die("cannot make " + dir + ": " + strerror(errno));
    if (mount("emu-bed", dir.c_str(), "tmpfs", MS_NOSUID, "mode=0755") != 0)
        die("cannot mount a tmpfs on " + dir + ": " + strerror(errno));
    setenv("TMPDIR", dir.c_str(), 1);
    return dir;
}

std::string dev_of(const emu::node_number &n)
{
    return std::to_string(n.major) + ":" + std::to_string(n.minor);
}

void add_record(UMockdevTestbed *tb, const std::string &record)
{
    GError *err = nullptr;
    if (!umockdev_testbed_add_from_string(tb, record.c_str(), &err)) {
        const std::string msg = err ? err->message : "unknown error";
        if (err)
            g_error_free(err);
        die("test bed refused a record: " + msg + "\n" + record);
    }
}

std::string sysfs_text(const std::string &s)
{
    std::string t;
    for (char c : s)
        t += (static_cast<unsigned char>(c) < 0x20 || c == '\n') ? ' ' : c;
    return t;
}

void attach(UMockdevTestbed *tb, UMockdevIoctlBase *h, const std::string &path)
{
    GError *err = nullptr;
    if (!umockdev_testbed_attach_ioctl(tb, path.c_str(), h, &err)) {
        const std::string msg = err ? err->message : "unknown error";
        if (err)
            g_error_free(err);
        die("cannot attach " + path + ": " + msg);
    }
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream f(path);
    f << text;
    if (!f)
        die("cannot write " + path);
}

// The test bed keeps each node's device number as a link target in
// /dev/.node, named by the node's path under /dev with '/' as '_'.
void node_rdev(const std::string &root, const std::string &node, const std::string &dev)
{
    const std::string dir = root + "/dev/.node";
    mkdir(dir.c_str(), 0755);
    std::string flat = node;
    std::replace(flat.begin(), flat.end(), '/', '_');
    const std::string path = dir + "/" + flat;
    unlink(path.c_str());
    if (symlink(dev.c_str(), path.c_str()) != 0)
        die("cannot write " + path + ": " + strerror(errno));
}

// open() of a bound unix socket fails with ENXIO, as for a device that is gone.
void make_enxio(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        die("path too long for a socket: " + path);
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        die("cannot bind " + path + ": " + strerror(errno));
    close(s); // the socket file stays
}

void make_parents(const std::string &path)
{
    for (size_t i = path.find('/', 1); i != std::string::npos; i = path.find('/', i + 1))
        mkdir(path.substr(0, i).c_str(), 0755);
}

// Never torn down: main ends the process instead (see there).
struct testbed_owner {
    UMockdevTestbed *tb = nullptr;
    std::vector<UMockdevIoctlBase *> handlers;
    std::vector<std::unique_ptr<route>> routes;
};

void build_testbed(testbed_owner &o, bench &b, const emu::scenario &sc)
{
    o.tb = umockdev_testbed_new();
    gchar *root_dir = umockdev_testbed_get_root_dir(o.tb);
    const std::string root = root_dir;
    g_free(root_dir);
    // Every Linux host has these, with or without SCSI devices.
    for (const char *d : {"/sys", "/sys/dev", "/sys/dev/char", "/sys/dev/block"})
        mkdir((root + d).c_str(), 0755);
    std::map<int, int> targets; // the next target number per host
    for (const emu::device_config &cfg : sc.devices) {
        auto dev = std::make_unique<emu::device>(cfg);
        const std::string host = std::to_string(cfg.host);
        const std::string hctl = host + ":0:" + std::to_string(targets[cfg.host]++) + ":0";
        const std::string scsi = "/devices/pseudo_0/adapter" + host + "/host" + host + "/target" +
                                 hctl.substr(0, hctl.size() - 2) + "/" + hctl;
        add_record(o.tb, "P: " + scsi + "\nE: SUBSYSTEM=scsi\nE: DEVTYPE=scsi_device\n" +
                             "A: type=" + std::to_string(cfg.byte0 & 0x1F) + "\n" +
                             "A: scsi_level=" + std::to_string(cfg.scsi_level) + "\n" +
                             "A: vendor=" + sysfs_text(cfg.vendor) + "\n" +
                             "A: model=" + sysfs_text(cfg.product) + "\n" +
                             "A: rev=" + sysfs_text(cfg.revision) + "\n");

        auto *h = umockdev_ioctl_base_new();
        o.handlers.push_back(h);
        o.routes.push_back(std::make_unique<route>(route{&b, dev.get()}));
        g_signal_connect(h, "handle-ioctl", G_CALLBACK(on_ioctl), o.routes.back().get());

        for (const std::string &name : cfg.nodes) {
            emu::node_number n;
            emu::number_node(name, &n);
            const std::string cls = scsi + "/" + n.subsystem + "/" + name;
            const std::string devtype = n.subsystem == "block" ? "E: DEVTYPE=disk\n" : "";
            add_record(o.tb, "P: " + cls + "\nN: " + name + "=00\nE: DEVNAME=/dev/" + name +
                                 "\nE: SUBSYSTEM=" + n.subsystem + "\n" + devtype +
                                 "A: dev=" + dev_of(n) + "\n");
            const std::string parent = "../../../" + hctl;
            umockdev_testbed_set_attribute_link(o.tb, ("/sys" + cls).c_str(), "device",
                                                parent.c_str());
            attach(o.tb, h, "/dev/" + name);
            b.by_node["/dev/" + name] = dev.get();
            if (std::find(cfg.enxio.begin(), cfg.enxio.end(), name) != cfg.enxio.end())
                make_enxio(root + "/dev/" + name);
        }
        emu::node_number first;
        emu::number_node(cfg.nodes[0], &first);
        for (const std::string &link : cfg.links) {
            const std::string path = root + "/dev/" + link;
            make_parents(path);
            std::string up;
            for (char ch : link)
                if (ch == '/')
                    up += "../";
            if (symlink((up + cfg.nodes[0]).c_str(), path.c_str()) != 0)
                die("cannot make link /dev/" + link + ": " + strerror(errno));
            node_rdev(root, link, dev_of(first));
            attach(o.tb, h, "/dev/" + link);
            b.by_node["/dev/" + link] = dev.get();
        }
        b.devices.push_back(std::move(dev));
    }
    for (const emu::other_node &n : sc.others) {
        const std::string path = root + "/dev/" + n.path;
        make_parents(path);
        if (n.directory) {
            mkdir(path.c_str(), 0755);
            continue;
        }
        // A character device with no SCSI device behind it in sysfs.
        write_file(path, std::string(1, '\0'));
        node_rdev(root, n.path, n.dev);
    }
}

pid_t child_pid = -1;

void forward(int sig, siginfo_t *info, void *)
{
    // Signals from the terminal reach the command directly.
    if (child_pid > 0 && info->si_code != SI_KERNEL)
        kill(child_pid, sig);
}

int run(const options &o)
{
    std::string preload = "libumockdev-preload.so.0";
    if (const char *p = getenv("LD_PRELOAD"); p && *p)
        preload += std::string(":") + p;

    // A sanitized command would refuse to start behind the preload.
    std::string asan = "verify_asan_link_order=0";
    if (const char *a = getenv("ASAN_OPTIONS"); a && *a)
        asan = std::string(a) + ":" + asan;

    struct sigaction sa {};
    sa.sa_sigaction = forward;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP, SIGUSR1, SIGUSR2})
        sigaction(sig, &sa, nullptr);

    child_pid = fork();
    if (child_pid < 0)
        die(std::string("fork: ") + strerror(errno));
    if (child_pid == 0) {
        for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP, SIGUSR1, SIGUSR2})
            signal(sig, SIG_DFL);
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
        execvp(o.command[0], o.command.data());
        fprintf(stderr, "brisk-emu: cannot run %s: %s\n", o.command[0], strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child_pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

void write_images(bench &b, const std::string &dir)
{
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        die("cannot make " + dir + ": " + strerror(errno));
    for (auto &d : b.devices) {
        const emu::bytes &img = d->activated_image();
        if (d->activations() == 0)
            continue;
        const std::string path = dir + "/" + d->config().name + ".img";
        FILE *f = fopen(path.c_str(), "wb");
        if (!f || fwrite(img.data(), 1, img.size(), f) != img.size() || fclose(f) != 0)
            die("cannot write " + path);
    }
}

} // namespace

int main(int argc, char **argv)
{
    const options o = parse_options(argc, argv);
    emu::scenario sc;
    try {
        sc = emu::load_scenario(o.scenario);
    } catch (const std::exception &e) {
        die(e.what());
    }
    bench b;
    b.start = wall_clock();
    if (!o.log.empty()) {
        b.log = fopen(o.log.c_str(), "w");
        if (!b.log)
            die("cannot write " + o.log + ": " + strerror(errno));
    }
    private_dev();
    const std::string bed_dir = private_testbed_dir();

    testbed_owner tb;
    build_testbed(tb, b, sc);
    const int status = run(o);
    {
        std::lock_guard<std::mutex> guard(b.lock);
        const double now = wall_clock();
        for (auto &d : b.devices)
            d->finish(now);
        if (!o.images.empty())
            write_images(b, o.images);
        if (b.log)
            fclose(b.log);
        b.log = nullptr;
    }
    umount2(bed_dir.c_str(), MNT_DETACH);
    rmdir(bed_dir.c_str());
    // No teardown: finalizing the test bed unsets a variable of the
    // environment while its worker thread may still read the environment (a
    // crash seen about once in a few hundred runs), and the bench and its
    // devices must outlive that thread. Its files were on the tmpfs just
    // detached.
    fflush(nullptr);
    _exit(status);
}
