// A stand-in for the browser's Web MIDI with one device behind it, put into a page by the tests only
// (page.evaluateOnNewDocument): navigator.requestMIDIAccess gives a MIDIAccess with the device's
// input and output port, both called "USB Audio Device". The device reads what the page sends with
// an unpacking and a checksum of its own (not the engine's), keeps the image, and answers a few
// milliseconds later through its input port, as a device in version-up mode does. The test reads
// and steers it through window.__midiDouble.
//
// installMidiDouble runs inside the page; its options:
//   vanishAfterBlocks: after accepting that many blocks the device is unplugged (both ports
//     disconnected, statechange) and answers nothing more.
export function installMidiDouble(options) {
  const IMAGE_BASE = 0xa0000;
  const IMAGE_BYTES = 327680;
  const image = new Uint8Array(IMAGE_BYTES).fill(0xff);
  const state = { blocksAccepted: 0, crcErrors: 0, sends: 0, finishes: 0, gone: false, image, unplugAt: 0 };
  const model = 0x6a;

  function crc32jam(bytes) {
    let crc = 0xffffffff;
    for (const b of bytes) {
      crc ^= b;
      for (let i = 0; i < 8; i++) crc = (crc >>> 1) ^ (0xedb88320 & -(crc & 1));
    }
    return crc >>> 0;
  }
  function groups(m, at, n) {
    let v = 0;
    for (let i = 0; i < n; i++) v += m[at + i] * 2 ** (7 * i);
    return v >>> 0;
  }
  function unpack(packed, length) {
    const out = [];
    for (let i = 0; i < packed.length && out.length < length;) {
      const lead = packed[i++];
      for (let j = 0; j < 7 && i < packed.length && out.length < length; j++, i++) {
        out.push(packed[i] | (((lead >> (6 - j)) & 1) << 7));
      }
    }
    return out;
  }

  class Port extends EventTarget {
    constructor(type) {
      super();
      this.id = type + '-usb-audio-device';
      this.name = 'USB Audio Device';
      this.manufacturer = 'Tarnet';
      this.type = type;
      this.state = 'connected';
      this.connection = 'closed';
      this.onmidimessage = null;
      this.onstatechange = null;
    }
    open() { this.connection = 'open'; return Promise.resolve(this); }
    close() { this.connection = 'closed'; return Promise.resolve(this); }
  }
  const input = new Port('input');
  const output = new Port('output');
  const access = new EventTarget();
  access.inputs = new Map([[input.id, input]]);
  access.outputs = new Map([[output.id, output]]);
  access.sysexEnabled = true;
  access.onstatechange = null;

  function answer(bytes) {
    setTimeout(() => {
      if (state.gone || !input.onmidimessage) return;
      input.onmidimessage({ data: new Uint8Array(bytes), timeStamp: performance.now() });
    }, 2);
  }
  function status(code) {
    answer([0xf0, 0x7d, 0x00, model, 0x00, code, 0xf7]);
  }
  function unplug() {
    state.gone = true;
    state.unplugAt = performance.now();
    for (const port of [input, output]) {
      port.state = 'disconnected';
      const event = { port };
      if (access.onstatechange) access.onstatechange(event);
    }
  }

  output.send = function (data) {
    if (state.gone) throw new DOMException('The port is disconnected.', 'InvalidStateError');
    const m = Array.from(data);
    state.sends++;
    if (m.length === 6 && m[1] === 0x7e && m[3] === 0x06 && m[4] === 0x01) {
      answer([0xf0, 0x7e, 0x00, 0x06, 0x02, 0x7d, model, 0, 0, 0, 0x31, 0x30, 0x30, 0x30, 0xf7]);
      return;
    }
    if (m[1] !== 0x7d || m[3] !== model) return;
    if (m[4] === 0x01) {
      status(0);
    } else if (m[4] === 0x04) {
      state.finishes++;
      status(0);
    } else if (m[4] === 0x02) {
      const address = groups(m, 5, 5);
      const length = groups(m, 10, 2);
      const packedLength = length + Math.ceil(length / 7);
      const bytes = unpack(m.slice(12, 12 + packedLength), length);
      if (crc32jam(bytes) !== groups(m, 12 + packedLength, 5)) {
        state.crcErrors++;
        status(2);
        return;
      }
      image.set(bytes, address - IMAGE_BASE);
      state.blocksAccepted++;
      if (options.vanishAfterBlocks && state.blocksAccepted >= options.vanishAfterBlocks) {
        setTimeout(unplug, 1);
        return;
      }
      status(0);
    }
  };

  Object.defineProperty(Navigator.prototype, 'requestMIDIAccess', {
    configurable: true,
    value: function (requested) {
      if (!requested || !requested.sysex) return Promise.reject(new DOMException('SysEx needed', 'NotAllowedError'));
      return Promise.resolve(access);
    },
  });
  window.__midiDouble = state;
}
