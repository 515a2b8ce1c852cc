#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace krvd {

// The daemon's picture of the controller: every value as the text the system or the setup
// protocol delivered. The saved copy, taken by takeSnapshot() after each full read, tells the
// writer which groups an ASSIGN changed.
class Settings {
  public:
    // Controller type codes, as detected from the SDK query.
    static constexpr std::int32_t kTypeUnknown = 0;
    static constexpr std::int32_t kTypeOther = 1;
    static constexpr std::int32_t kTypeArm9 = 2;
    static constexpr std::int32_t kTypeImx = 3;
    static constexpr std::int32_t kTypeQvx = 4;

    Settings() = default;
    virtual ~Settings() = default;
    Settings(const Settings&) = delete;
    // Copies only the ten network and server members; everything else of the target stays.
    Settings& operator=(const Settings& source);

    const std::string& housenames() const { return housenames_; }
    const std::string& hostname() const { return hostname_; }
    const std::string& ip() const { return ip_; }
    const std::string& netmask() const { return netmask_; }
    const std::string& gateway() const { return gateway_; }
    const std::string& mac() const { return mac_; }
    const std::string& ntpip() const { return ntpip_; }
    const std::string& controller() const { return controller_; }
    const std::string& syslogip() const { return syslogip_; }
    const std::string& nameserver() const { return nameserver_; }
    const std::string& ipscheme() const { return ipscheme_; }
    const std::string& ntpsync() const { return ntpsync_; }
    const std::string& sdusage() const { return sdusage_; }
    const std::string& pendingclock() const { return pendingclock_; }
    const std::string& interface() const { return interface_; }
    const std::string& sdkversion() const { return sdkversion_; }
    const std::string& mac1() const { return mac1_; }
    const std::string& mac2() const { return mac2_; }
    const std::string& uptime() const { return uptime_; }
    const std::string& loadavg() const { return loadavg_; }
    const std::string& displaytime() const { return displaytime_; }
    std::int32_t controllertype() const { return controllertype_; }
    const Settings* savedcopy() const { return savedcopy_.get(); }

    // Address setters accept only what inet_pton(AF_INET) accepts; on refusal the member
    // keeps its value.
    bool setIp(const std::string& text);
    bool setNetmask(const std::string& text);
    bool setGateway(const std::string& text);
    bool setNtpip(const std::string& text);
    bool setSyslogip(const std::string& text);
    bool setNameserver(const std::string& text);

    bool setHostname(const std::string& text);
    bool setHousenames(const std::string& text);
    void setIpscheme(const std::string& text) { ipscheme_ = text; }
    void setMac(const std::string& text) { mac_ = text; }
    void setController(const std::string& text) { controller_ = text; }

    // The reader takes the server addresses as the controller reports them, an empty answer
    // included (a removed server), so these bypass the address check.
    void setNtpipUnchecked(const std::string& text) { ntpip_ = text; }
    void setSyslogipUnchecked(const std::string& text) { syslogip_ = text; }
    void setNameserverUnchecked(const std::string& text) { nameserver_ = text; }

    // Members owned by the reader and the writer.
    void setNtpsync(const std::string& text) { ntpsync_ = text; }
    void setSdusage(const std::string& text) { sdusage_ = text; }
    void setPendingclock(const std::string& text) { pendingclock_ = text; }
    void setInterface(const std::string& text) { interface_ = text; }
    void setSdkversion(const std::string& text) { sdkversion_ = text; }
    void setMac1(const std::string& text) { mac1_ = text; }
    void setMac2(const std::string& text) { mac2_ = text; }
    void setUptime(const std::string& text) { uptime_ = text; }
    void setLoadavg(const std::string& text) { loadavg_ = text; }
    void setDisplaytime(const std::string& text) { displaytime_ = text; }
    void setControllertype(std::int32_t code) { controllertype_ = code; }

    // Replaces the saved copy with the current network and server members.
    void takeSnapshot();

    // Change tests against the saved copy; a saved copy must exist (refresh makes one).
    bool ntpIpChanged() const;
    bool syslogIpChanged() const;
    bool nameServerChanged() const;
    bool networkChanged() const;
    bool ipSchemeChanged() const;
    bool clockPending() const { return !pendingclock_.empty(); }

  private:
    std::string housenames_;
    std::string hostname_ = "none";
    std::string ip_;
    std::string netmask_;
    std::string gateway_;
    std::string mac_;
    std::string ntpip_;
    std::string controller_;
    std::string syslogip_;
    std::string nameserver_;
    std::string ipscheme_ = "STATIC";
    std::string ntpsync_;
    std::string sdusage_;
    std::string pendingclock_;
    std::string interface_ = "br0";
    std::string sdkversion_;
    std::string mac1_;
    std::string mac2_;
    std::string uptime_;
    std::string loadavg_;
    std::string displaytime_;
    std::unique_ptr<Settings> savedcopy_;
    std::int32_t controllertype_ = kTypeUnknown;
};

// The system's own IPv4 text check (inet_pton, AF_INET): four decimal numbers 0-255 without
// leading zeros, single dots, nothing else.
bool isSystemIpv4(const std::string& text);

}  // namespace krvd
