// Unit identity: model, project, note and trigger port from the board's
// one-line files under /etc, the host name as the unit name, and the
// whole unit record with the network settings of one interface.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include <unistd.h>

#include "board_root.h"
#include "boundary.h"
#include "report.h"
#include "text.h"

static_assert(offsetof(COM_UNIT_INFO, model) == 0);
static_assert(offsetof(COM_UNIT_INFO, proj) == 32);
static_assert(offsetof(COM_UNIT_INFO, name) == 64);
static_assert(offsetof(COM_UNIT_INFO, ip) == 96);
static_assert(offsetof(COM_UNIT_INFO, trigger_port) == 112);
static_assert(offsetof(COM_UNIT_INFO, netmask) == 120);
static_assert(offsetof(COM_UNIT_INFO, gateway) == 136);
static_assert(offsetof(COM_UNIT_INFO, dns) == 152);
static_assert(offsetof(COM_UNIT_INFO, mac) == 168);
static_assert(offsetof(COM_UNIT_INFO, dev) == 192);
static_assert(offsetof(COM_UNIT_INFO, note) == 208);
static_assert(offsetof(COM_UNIT_INFO, mtu) == 256);
static_assert(sizeof(COM_UNIT_INFO) == 264);

namespace {

constexpr const char *kModelFile = "/etc/Model";
constexpr const char *kProjFile = "/etc/Proj";
constexpr const char *kNoteFile = "/etc/Note";
constexpr const char *kPortFile = "/etc/Port";
constexpr const char *kDefaultPort = "80";
constexpr const char *kUnknown = "unknown";
constexpr const char *kDefaultDev = "eth0";

// A path that cannot be made (no memory for it under a board root) is a
// file that cannot be read: reported, and the buffer gets the same
// fallback text, so that each getter's own fallback follows.
int get_identity(const dvr::Reporter &report, const char *file, char *buf, int size)
{
    std::string path;
    try {
        path = dvr::board_path(file);
    } catch (const std::bad_alloc &) {
        DVR_REPORT_TO(report, "out of memory\n");
        if (buf && size >= 1)
            dvr::copy_cut(buf, static_cast<size_t>(size), kUnknown);
        return -1;
    }
    return COM_GetFileContent(path.c_str(), buf, size);
}

int set_identity(const char *file, const char *text)
{
    return COM_SetFileContent(dvr::board_path(file).c_str(), text);
}

// A record's text field as a terminated string, whatever the caller left
// in its last byte.
template <size_t N>
std::string field_text(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

} // namespace

extern "C" int COM_GetModelName(char *buf, int size)
try {
    return get_identity(DVR_REPORTER("MODULES/COMMON"), kModelFile, buf, size);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetProjName(char *buf, int size)
try {
    return get_identity(DVR_REPORTER("MODULES/COMMON"), kProjFile, buf, size);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetNote(char *buf, int size)
try {
    get_identity(DVR_REPORTER("MODULES/COMMON"), kNoteFile, buf, size);
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetTriggerPort(char *buf, int size)
try {
    if (get_identity(DVR_REPORTER("MODULES/COMMON"), kPortFile, buf, size) == 0)
        return 0;
    if (buf && size > 0)
        dvr::copy_cut(buf, static_cast<size_t>(size), kDefaultPort);
    return -1;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetUnitName(char *buf, int size)
try {
    if (!buf || size < 1) {
        COM_REPORT("input error : (pBuf, len) = (%p, %d)\n", static_cast<void *>(buf), size);
        return -1;
    }
    if (gethostname(buf, static_cast<size_t>(size)) != 0) {
        COM_REPORT("gethostname() error : %s\n", std::strerror(errno));
        dvr::copy_cut(buf, static_cast<size_t>(size), kUnknown);
        return -1;
    }
    buf[size - 1] = '\0';
    return 0;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SetModelName(const char *text)
try {
    return set_identity(kModelFile, text);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SetProjName(const char *text)
try {
    return set_identity(kProjFile, text);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SetNote(const char *text)
try {
    return set_identity(kNoteFile, text);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SetUnitName(const char *name)
try {
    if (!name) {
        COM_REPORT("input error : name == NULL\n");
        return -1;
    }
    int rc = sethostname(name, std::strlen(name));
    if (rc != 0)
        COM_REPORT("sethostname(%.80s) error : %s\n", name, std::strerror(errno));
    return rc;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SetTriggerPort(int nPort)
try {
    if (nPort < 0 || nPort > 65535) {
        COM_REPORT("invalid port %d\n", nPort);
        return -1;
    }
    char text[8];
    std::snprintf(text, sizeof text, "%d", nPort);
    return set_identity(kPortFile, text);
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_SetUnitInfo(const COM_UNIT_INFO *pInfo)
try {
    if (!pInfo) {
        COM_REPORT("input error : pInfo == NULL\n");
        return -1;
    }
    return COM_SetModelName(field_text(pInfo->model).c_str()) +
           COM_SetProjName(field_text(pInfo->proj).c_str()) +
           COM_SetUnitName(field_text(pInfo->name).c_str()) +
           COM_SetNote(field_text(pInfo->note).c_str());
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_GetUnitInfo(COM_UNIT_INFO *pInfo, const char *dev)
try {
    if (!pInfo) {
        COM_REPORT("input error : pInfo == NULL\n");
        return -1;
    }
    if (!dev)
        dev = kDefaultDev;
    // Shown as far as it fits; the readers below refuse a name that does
    // not fit an interface request.
    dvr::copy_cut(pInfo->dev, sizeof pInfo->dev, dev);

    int result = 0;
    result += COM_GetModelName(pInfo->model, sizeof pInfo->model);
    result += COM_GetProjName(pInfo->proj, sizeof pInfo->proj);
    result += COM_GetUnitName(pInfo->name, sizeof pInfo->name);
    result += COM_GetNetInfo(COM_NETINFO_IP, dev, pInfo->ip);
    result += COM_GetTriggerPort(pInfo->trigger_port, sizeof pInfo->trigger_port);
    result += COM_GetNetInfo(COM_NETINFO_NETMASK, dev, pInfo->netmask);
    result += COM_GetNetInfo(COM_NETINFO_GATEWAY, dev, pInfo->gateway);
    result += COM_GetNetInfo(COM_NETINFO_DNS, dev, pInfo->dns);
    result += COM_GetNetInfo(COM_NETINFO_MAC_COLON, dev, pInfo->mac);
    result += COM_GetNote(pInfo->note, sizeof pInfo->note);
    result += COM_GetNetInfo(COM_NETINFO_MTU, dev, pInfo->mtu);
    return result;
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" int COM_ShowUnitInfo(const COM_UNIT_INFO *pInfo)
try {
    if (!pInfo) {
        COM_REPORT("input error : pInfo == NULL\n");
        return -1;
    }
#define F(x) static_cast<int>(strnlen(pInfo->x, sizeof pInfo->x)), pInfo->x
    COM_Message("MODULES/COMMON", __LINE__, nullptr, "(model, proj, name) = (%.*s, %.*s, %.*s)\n",
                F(model), F(proj), F(name));
    COM_Message("MODULES/COMMON", __LINE__, nullptr,
                "(ip, trigger_port, netmask) = (%.*s, %.*s, %.*s)\n", F(ip), F(trigger_port),
                F(netmask));
    COM_Message("MODULES/COMMON", __LINE__, nullptr, "(gateway, dns, mac) = (%.*s, %.*s, %.*s)\n",
                F(gateway), F(dns), F(mac));
    return COM_Message("MODULES/COMMON", __LINE__, nullptr, "(dev, note) = (%.*s, %.*s)\n", F(dev),
                       F(note));
#undef F
} DVR_C_BOUNDARY("MODULES/COMMON", -1)

extern "C" void COM_ShowAllUnitInfo(int nCount, const COM_UNIT_INFO *pInfo)
try {
    if (!pInfo && nCount > 0) {
        COM_REPORT("input error : pInfo == NULL\n");
        return;
    }
    for (int i = 0; i < nCount; ++i) {
        COM_REPORT("[%d/%d]\n", i + 1, nCount);
        COM_ShowUnitInfo(&pInfo[i]);
    }
} DVR_C_BOUNDARY("MODULES/COMMON")
