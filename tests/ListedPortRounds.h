// Rounds of "list, let ports come and go, open what was listed" against a backend over JACK: the
// index that the listing showed must open that very port, or fail cleanly when it has gone since,
// never open the port that has moved into its place. The ports that come and go are those of a
// JACK client of the test's own.
#pragma once

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "platform/MidiApi.h"

namespace testsupport {

class JackTestPorts {
public:
    // `flags`: JackPortIsOutput for ports an input can listen to, JackPortIsInput for ports an
    // output can send to.
    explicit JackTestPorts(const std::string& clientName, unsigned long flags) : m_flags(flags) {
        m_client = jack_client_open((clientName + "-" + std::to_string(::getpid())).c_str(), JackNoStartServer, nullptr);
        // A process callback that does nothing: a client without one is left out of the server's
        // cycles, and JACK then runs the clients connected after it only now and then. Its output
        // ports stay empty as registered.
        if (m_client != nullptr) jack_set_process_callback(m_client, &JackTestPorts::Process, nullptr);
        if (m_client != nullptr && jack_activate(m_client) != 0) {
            jack_client_close(m_client);
            m_client = nullptr;
        }
    }
    ~JackTestPorts() {
        if (m_client != nullptr) jack_client_close(m_client);
    }
    JackTestPorts(const JackTestPorts&) = delete;
    JackTestPorts& operator=(const JackTestPorts&) = delete;

    bool Ready() const { return m_client != nullptr; }

    // Registers the port `name` (its listed name); false when the server refused it.
    bool Add(const std::string& name) {
        jack_port_t* port = jack_port_register(m_client, name.c_str(), JACK_DEFAULT_MIDI_TYPE, m_flags, 0);
        if (port == nullptr) return false;
        m_ports[name] = port;
        return true;
    }
    void Remove(const std::string& name) {
        const auto it = m_ports.find(name);
        if (it == m_ports.end()) return;
        jack_port_unregister(m_client, it->second);
        m_ports.erase(it);
    }
    bool Has(const std::string& name) const { return m_ports.count(name) != 0; }

    // Connections of the port `name` right now.
    int Connections(const std::string& name) const {
        const auto it = m_ports.find(name);
        return it == m_ports.end() ? 0 : jack_port_connected(it->second);
    }

private:
    static int Process(jack_nframes_t, void*) { return 0; }

    jack_client_t* m_client = nullptr;
    unsigned long m_flags;
    std::map<std::string, jack_port_t*> m_ports;
};

// The names a caller lists: the count, then the name at every index.
template <typename Api>
std::vector<std::string> ListedNames(Api& api) {
    std::vector<std::string> names;
    const std::uint32_t count = api.GetNumDevs();
    for (std::uint32_t i = 0; i < count; ++i) {
        platform::MidiDevCaps caps{};
        names.emplace_back(api.GetDevCaps(i, caps) == platform::MIDI_OK ? caps.szPname : "");
    }
    return names;
}

// `open(index)` opens device `index` and gives its result; `close()` closes what it opened. In
// each round a port listed before the target goes and new ones come (the server gives a new port
// the place of one that went, or the end); every third round the target itself goes too.
template <typename Api, typename Open, typename Close>
void OpenListedPortsWhilePortsComeAndGo(Api& api, JackTestPorts& ports, Open open, Close close) {
    const std::string stem = "listed-" + std::to_string(::getpid()) + "-";
    std::vector<std::string> ours;  // our ports that exist, oldest first
    int made = 0;
    auto add = [&] {
        const std::string name = stem + std::to_string(made++);
        ASSERT_TRUE(ports.Add(name));
        ours.push_back(name);
    };
    auto remove = [&](const std::string& name) {
        ports.Remove(name);
        ours.erase(std::find(ours.begin(), ours.end(), name));
    };
    for (int i = 0; i < 5; ++i) add();

    for (int round = 0; round < 9; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::vector<std::string> listed = ListedNames(api);
        // The target: one of ours with at least one of ours listed before it.
        std::vector<std::size_t> at;  // listing positions of ours, in listing order
        for (std::size_t i = 0; i < listed.size(); ++i) {
            if (ports.Has(listed[i])) at.push_back(i);
        }
        ASSERT_GE(at.size(), 3u) << "our ports are not listed among " << listed.size();
        const std::size_t index = at[1 + static_cast<std::size_t>(round) % (at.size() - 1)];
        const std::string target = listed[index];
        const std::string before = listed[at[0]];

        remove(before);
        const bool targetGoes = round % 3 == 2;
        if (targetGoes) remove(target);
        add();
        add();

        const platform::MidiResult result = open(static_cast<std::uint32_t>(index));
        if (targetGoes) {
            EXPECT_EQ(result, platform::MIDI_ERR_BADDEVICEID) << target << " has gone, yet index " << index << " opened";
        } else {
            EXPECT_EQ(result, platform::MIDI_OK) << "index " << index << " (" << target << ")";
        }
        if (result == platform::MIDI_OK) {
            const bool right = WaitFor([&] {
                if (ports.Connections(target) == 0) return false;
                for (const std::string& other : ours) {
                    if (other != target && ports.Connections(other) != 0) return false;
                }
                return true;
            });
            EXPECT_TRUE(right) << "index " << index << " did not connect " << target << " alone";
            close();
        }
        if (ours.size() < 4) {
            add();
            add();
        }
    }
}

}  // namespace testsupport
