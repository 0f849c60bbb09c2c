// General library: candidate device paths, time stamps and intervals,
// delays and number formatting.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "uscsi_host.h"

// Candidate path list built by the device scan.
struct device_path_node {
    std::string path;
    // The SCSI device the node leads to, once the duplicate pass has asked.
    scsi_address address;
    bool located = false;
    device_path_node *next = nullptr;
};

// Longest path a scan forms (plus its terminator in 1024 bytes).
constexpr size_t DEVICE_PATH_MAX = 1023;

device_path_node *add_device(device_path_node *list, std::string path);
device_path_node *rem_device(device_path_node *list, device_path_node *node);
device_path_node *scan_dir(const char *dir, device_path_node *list, const char *filter);
device_path_node *get_stdin_devices(device_path_node *list);

constexpr int TIMESTAMP_LEN = 21;
enum { TS_DATE = 1, TS_TIME = 2 };
enum { TD_DAYS = 0, TD_HOURS = 1, TD_MINUTES = 2, TD_SECONDS = 3 };

// buffer holds at least TIMESTAMP_LEN bytes.
char *timestamp(int parts, char *buffer);
double time_delta(const char *start, const char *end, int unit);
void adjust_time(double *days, double *hours, double *minutes, double *seconds);
std::string sprintf_time(double seconds);
// Seconds on a clock that no setting of the wall clock moves and that
// counts a suspend (CLOCK_BOOTTIME).
double monotonic_seconds();

void delayms(int ms);
unsigned int delays(unsigned int seconds);
int print_with_commas(double value);
