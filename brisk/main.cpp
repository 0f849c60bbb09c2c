// The command line: the interactive session's options as they always were,
// the batch mode's long options, and the choice between the two.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "brisk.h"

#ifndef BRISK_VERSION
#define BRISK_VERSION "0"
#endif

namespace {

[[noreturn]] void out_of_memory()
{
    fputs("Out of memory\n", stderr);
    _exit(255);
}

void print_usage(const char *argv0, int settled)
{
    fprintf(stderr, "Usage: %s [ filename ] ", argv0);
    if (settled == 0)
        fputs("[ -o | -t ] ", stderr);
    fputs("[ -v ]\n", stderr);
    fputs("\tfilename\tfirmware/microcode filename\n", stderr);
    if (settled == 0) {
        fputs("\t'-o'\t\toptical devices\n", stderr);
        fputs("\t'-t'\t\ttape devices\n", stderr);
    }
}

const char optical_refusal[] =
    "\nCannot download firmware to Optical devices while vold is running.  Run\n"
    "\t`/etc/rc2.d/S92volmgt stop`\nand then execute this utility again.  Remember to run\n"
    "\t`/etc/rc2.d/S92volmgt start`\nafter completing the download.\n\n";


enum long_id { L_JSON, L_UPDATE, L_MATCH, L_REVISION, L_FROM, L_SHA256, L_ALLOW, L_YES,
               L_HISTORY, L_HISTORY_FILE, L_VERSION, L_HELP };

// One table drives the parsing and the help.
struct long_option {
    long_id id;
    const char *name;
    const char *value; // nullptr: a flag
    const char *help;
};

constexpr long_option long_options[] = {
    {L_JSON, "json", nullptr, "list, plan or report as one JSON document"},
    {L_UPDATE, "update", "IMAGE", "download IMAGE to the drives chosen by --match"},
    {L_MATCH, "match", "VENDOR[:PRODUCT[:SERIAL]]",
     "choose drives: vendor and product prefixes, exact serial (repeatable)"},
    {L_REVISION, "revision", "REV", "the image's revision: drives reporting REV are left alone"},
    {L_FROM, "from", "REV[,REV...]", "choose only drives reporting one of these revisions"},
    {L_SHA256, "sha256", "HEX", "refuse to start unless the image has this SHA-256 digest"},
    {L_ALLOW, "allow-default-mode", nullptr, "also download to drives that need the default mode"},
    {L_YES, "yes", nullptr, "download (without it, --update prints the plan only)"},
    {L_HISTORY, "history", nullptr, "print the update history"},
    {L_HISTORY_FILE, "history-file", "FILE", "the update history (default $BRISK_HISTORY, else "
                                              "/var/lib/brisk/history.jsonl)"},
    {L_VERSION, "version", nullptr, "print the version"},
    {L_HELP, "help", nullptr, "print this help"},
};

const char *program_name(const char *argv0)
{
    const char *slash = strrchr(argv0, '/');
    return slash ? slash + 1 : argv0;
}

void print_help(const char *argv0)
{
    printf("Usage: %s [ filename ] [ -o | -t ] [ -v ] [ -d ] [ -l size ]\n"
           "       %s --json [ -o | -t ]\n"
           "       %s --update IMAGE --match VENDOR[:PRODUCT[:SERIAL]]... [ options ] [ --yes ]\n"
           "       %s --history [ --json ]\n\n"
           "\tfilename\tfirmware/microcode filename: the interactive session\n"
           "\t-o, -t\t\toptical or tape devices\n\t-v\t\tverbose\n"
           "\t-d\t\tdebug: send no image and no reset\n\t-l size\t\ttransfer size in bytes\n",
           argv0, argv0, argv0, argv0);
    for (const auto &o : long_options) {
        const std::string name = std::string("--") + o.name + (o.value ? std::string(" ") + o.value : "");
        printf("\t%-34s %s\n", name.c_str(), o.help);
    }
    puts("\nExit status of --update: 0 every planned drive reports the new revision, 2 nothing to do,\n"
         "1 a planned drive failed or is unavailable, 255 refused to start.");
}

// An option's value: "--name=value" or the next argument.
const char *option_value(const char *arg, size_t name_len, int argc, char **argv, int *i)
{
    if (arg[2 + name_len] == '=')
        return arg + 3 + name_len;
    return *i + 1 < argc ? argv[++*i] : nullptr;
}

} // namespace

int brisk_main(int argc, char **argv)
{
    std::set_new_handler(out_of_memory);
    const char *argv0 = (argc > 0 && argv[0]) ? argv[0] : "";

    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--version") == 0) {
            printf("%s %s\n", program_name(argv0), BRISK_VERSION);
            return 0;
        }
        if (strcmp(argv[i], "--help") == 0) {
            print_help(argv0);
            return 0;
        }
    }

    if (geteuid() != 0) {
        fprintf(stderr, "%s can only be executed as root\n", argv0);
        return -1;
    }

    int options = 0;
    int devclass = 0;
    int settled = 0;
    long xfer_size = 0;
    const char *firmware_name = nullptr;
    bool usage_error = false;
    static firmware_image image;
    static scsi_cmd_block block;

    batch_options batch;
    bool batch_mode = false;
    bool history_wanted = false;
    const char *history_option = nullptr;
    std::string bad; // the first bad batch argument, said as it is
    std::vector<bool> consumed(static_cast<size_t>(argc > 0 ? argc : 0), false);
    for (int i = 1; i < argc; ++i) {
        if (consumed[i])
            continue;
        const char *arg = argv[i];
        const long_option *lo = nullptr;
        for (const auto &o : long_options) {
            const size_t n = strlen(o.name);
            if (strncmp(arg, "--", 2) == 0 && strncmp(arg + 2, o.name, n) == 0 &&
                (arg[2 + n] == '\0' || (o.value && arg[2 + n] == '=')))
                lo = &o;
        }
        if (lo) {
            // The history's file is the session's too.
            batch_mode = batch_mode || lo->id != L_HISTORY_FILE;
            const char *value = lo->value ? option_value(arg, strlen(lo->name), argc, argv, &i) : nullptr;
            if (lo->value && !value) {
                if (bad.empty())
                    bad = std::string("--") + lo->name + " needs " + lo->value;
                continue;
            }
            std::string why;
            bool ok = true;
            switch (lo->id) {
            case L_JSON:
                batch.json = true;
                break;
            case L_UPDATE:
                batch.update = value;
                break;
            case L_MATCH: {
                identity_match m;
                ok = parse_match(value, &m, &why);
                batch.matches.push_back(m);
                break;
            }
            case L_REVISION:
                batch.revision = value;
                ok = !batch.revision.empty() && batch.revision.size() <= 4;
                why = "--revision takes a revision of 1 to 4 characters, not \"" + batch.revision + "\"";
                break;
            case L_FROM:
                batch.from_given = true;
                ok = parse_revisions(value, &batch.from, &why);
                break;
            case L_SHA256:
                ok = parse_sha256(value, &batch.sha256, &why);
                break;
            case L_ALLOW:
                batch.allow_default_mode = true;
                break;
            case L_YES:
                batch.yes = true;
                break;
            case L_HISTORY:
                history_wanted = true;
                break;
            case L_HISTORY_FILE:
                history_option = value;
                ok = *value != '\0';
                why = "--history-file needs a file name";
                break;
            default:
                break;
            }
            if (!ok && bad.empty())
                bad = why;
            continue;
        }
        if (arg[0] != '-') {
            if (load_firmware_file(arg, &image, options) != 0)
                usage_error = true;
            firmware_name = arg;
            continue;
        }
        if (arg[1] == '\0')
            usage_error = true;
        for (const char *letter = arg + 1; *letter; ++letter) {
            switch (*letter) {
            case 'd':
                options |= OPT_DEBUG;
                break;
            case 'v':
                options |= OPT_VERBOSE;
                break;
            case 'o':
                devclass |= DEVCLASS_OPTICAL;
                break;
            case 't':
                devclass |= DEVCLASS_TAPE;
                break;
            case 'l': {
                int j = i + 1;
                while (j < argc && consumed[j])
                    ++j;
                if (j < argc) {
                    xfer_size = atol(argv[j]);
                    consumed[j] = true;
                } else {
                    usage_error = true;
                }
                if (xfer_size < 512)
                    usage_error = true;
                break;
            }
            default:
                usage_error = true;
                break;
            }
        }
    }

    if (strstr(argv0, "glint")) {
        devclass |= DEVCLASS_OPTICAL;
        settled = 1;
    }
    if (strstr(argv0, "brisk")) {
        devclass |= DEVCLASS_TAPE;
        settled = 2;
    }
    if (devclass == DEVCLASS_OPTICAL)
        settled = 1;
    else if (devclass == DEVCLASS_TAPE)
        settled = 2;
    else
        usage_error = true;

    if (xfer_size != 0) {
        if (xfer_size > 0 && xfer_size % 512 == 0) {
            // The table field is 32 bits: a larger request means "as large as
            // possible", which the first transfer-size rule turns into its limit.
            const int32_t stored = xfer_size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(xfer_size);
            for (auto &row : params_array)
                row.xfer_size = stored;
        } else {
            usage_error = true;
        }
    }

    if (usage_error) {
        print_usage(argv0, settled);
        return -1;
    }
    if (batch_mode && bad.empty()) {
        if (firmware_name)
            bad = "the image of the batch mode is given with --update IMAGE";
        else if (batch.yes && !batch.update)
            bad = "--yes needs --update IMAGE";
        else if (batch.update && batch.matches.empty())
            bad = "--update needs at least one --match VENDOR[:PRODUCT[:SERIAL]]";
        else if (!batch.update && (!batch.matches.empty() || !batch.revision.empty() ||
                                   batch.from_given || !batch.sha256.empty() ||
                                   batch.allow_default_mode))
            bad = "--match, --revision, --from, --sha256 and --allow-default-mode need --update IMAGE";
        else if (history_wanted && batch.update)
            bad = "--history does not go with --update";
    }
    if (!bad.empty()) {
        fprintf(stderr, "%s: %s\n", program_name(argv0), bad.c_str());
        return -1;
    }
    const std::string history_file = history_path(history_option);
    if (history_wanted)
        return print_history(history_file, batch.json);

    if (devclass == DEVCLASS_OPTICAL) {
        fflush(stdout);
        fflush(stderr);
        if (system("ps -ef | grep -v grep | grep -q vold") == 0) {
            fputs(optical_refusal, stderr);
            return -1;
        }
    }

    // The batch mode's standard output carries its report alone: whatever
    // the engine and the library print goes to standard error.
    FILE *report = stdout;
    if (batch_mode) {
        fflush(stdout);
        // Without a descriptor to spare, the report shares the stream.
        if (FILE *aside = fdopen(dup(1), "w")) {
            report = aside;
            dup2(2, 1);
            setvbuf(stdout, nullptr, _IOLBF, 0);
        }
    }

    static history_log history;
    const char *image_path = batch.update ? batch.update : firmware_name;
    if (batch.update && load_firmware_file(batch.update, &image, options) != 0)
        return -1;
    if (image_path && !batch.sha256.empty() && image.sha256 != batch.sha256) {
        fprintf(stderr, "%s: %s has SHA-256 %s, not %s\nDownload not performed\n",
                program_name(argv0), image_path, image.sha256.c_str(), batch.sha256.c_str());
        return -1;
    }
    // Without a record of it, no drive is written; -d writes none.
    const bool downloads = image_path && (!batch_mode || batch.yes) && !(options & OPT_DEBUG);
    if (downloads && !history_open(&history, history_file, image))
        return -1;

    if (options & OPT_DEBUG)
        fputs("Executing in debug mode...\n", stdout);

    // The inventory lives as long as the run, like the image and the block.
    static device_entry *list;
    list = get_all_devices_info(nullptr, &block, devclass, options, options);

    if (batch_mode) {
        const int status = batch.update ? run_batch(list, &image, &block, options, batch,
                                                    downloads ? &history : nullptr, report)
                                        : list_json(list, report);
        fflush(report);
        return status;
    }
    if (!firmware_name) {
        display_all_devices_info(list, 1);
        if (options)
            display_download_params();
        fflush(stdout);
        return 0;
    }
    select_n_download(list, &image, &block, options, downloads ? &history : nullptr);
    return 0;
}

int main(int argc, char **argv)
{
    return brisk_main(argc, argv);
}
