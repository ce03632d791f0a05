// A JACK client of the test's own whose MIDI ports the test registers and unregisters between a
// backend's listing and its opening, so that the server's list moves under the backend.
#pragma once

#include <jack/jack.h>
#include <unistd.h>

#include <map>
#include <string>

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

    // The server's full name of the port `name` ("client:name").
    std::string FullName(const std::string& name) const { return std::string(jack_get_client_name(m_client)) + ":" + name; }

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

}  // namespace testsupport
