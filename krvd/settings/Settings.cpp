#include "krvd/settings/Settings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace krvd {

bool isSystemIpv4(const std::string& text) {
    // inet_pton reads a C string; an embedded NUL would hide the bytes after it.
    if (text.find('\0') != std::string::npos) {
        return false;
    }
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

namespace {

bool storeIfIpv4(std::string& member, const std::string& text) {
    if (!isSystemIpv4(text)) {
        return false;
    }
    member = text;
    return true;
}

}  // namespace

Settings& Settings::operator=(const Settings& source) {
    if (this == &source) {
        return *this;
    }
    hostname_ = source.hostname_;
    ip_ = source.ip_;
    netmask_ = source.netmask_;
    gateway_ = source.gateway_;
    mac_ = source.mac_;
    ntpip_ = source.ntpip_;
    controller_ = source.controller_;
    syslogip_ = source.syslogip_;
    nameserver_ = source.nameserver_;
    ipscheme_ = source.ipscheme_;
    return *this;
}

bool Settings::setIp(const std::string& text) {
    return storeIfIpv4(ip_, text);
}

bool Settings::setNetmask(const std::string& text) {
    if (!isSystemIpv4(text)) {
        return false;
    }
    netmask_ = text;
    std::transform(netmask_.begin(), netmask_.end(), netmask_.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return true;
}

bool Settings::setGateway(const std::string& text) {
    return storeIfIpv4(gateway_, text);
}
bool Settings::setNtpip(const std::string& text) {
    return storeIfIpv4(ntpip_, text);
}
bool Settings::setSyslogip(const std::string& text) {
    return storeIfIpv4(syslogip_, text);
}
bool Settings::setNameserver(const std::string& text) {
    return storeIfIpv4(nameserver_, text);
}

bool Settings::setHostname(const std::string& text) {
    hostname_ = text;
    return true;
}

bool Settings::setHousenames(const std::string& text) {
    housenames_ = text;
    return true;
}

void Settings::takeSnapshot() {
    savedcopy_.reset();
    auto copy = std::make_unique<Settings>();
    *copy = *this;
    savedcopy_ = std::move(copy);
}

bool Settings::ntpIpChanged() const {
    return ntpip_ != savedcopy_->ntpip_;
}
bool Settings::syslogIpChanged() const {
    return syslogip_ != savedcopy_->syslogip_;
}
bool Settings::nameServerChanged() const {
    return nameserver_ != savedcopy_->nameserver_;
}
bool Settings::ipSchemeChanged() const {
    return ipscheme_ != savedcopy_->ipscheme_;
}

bool Settings::networkChanged() const {
    const Settings& saved = *savedcopy_;
    return ip_ != saved.ip_ || netmask_ != saved.netmask_ || gateway_ != saved.gateway_ ||
           syslogip_ != saved.syslogip_ || ipscheme_ != saved.ipscheme_;
}

}  // namespace krvd
