// The updater's page: the window's controls, the relay between the browser's MIDI (Web MIDI, which
// only a page reaches) and the engine in its worker (engine.js), the instance number, and the
// history of updates kept in this browser.
//
// The engine runs the update; this page only shows what it is told and passes on what the user
// does and what the devices send. Every text the page shows comes from the engine (its "hello") or
// from the page's own markup. Nothing goes to a device before the user presses "Execute": the page
// sends only the bytes the engine hands it.
'use strict';

(function () {
  const $ = (id) => document.getElementById(id);
  const body = document.body;
  const lists = { in: $('midi-in'), out: $('midi-out') };
  const controls = { in: lists.in, out: lists.out, execute: $('execute'), rescan: $('rescan') };

  let worker = null;
  let texts = null;
  let access = null;          // the browser's MIDIAccess, once granted
  let midiState = 'pending';  // pending, ok, none (no Web MIDI), nosystem, insecure, refused
  let listening = new Set();  // input ports whose bytes the engine wants
  const generation = { in: 0, out: 0 };
  // Whether each list has been filled since the engine last heard of the ports (or, before that,
  // since the window came), and whether the window has its title.
  const listed = { in: false, out: false };
  let titled = false;
  const errorBoxes = [];      // open error boxes, the newest last: {box, caption, text}
  let history = null;         // the IndexedDB database, or null where there is none

  // ----- The engine's worker -----

  function post(message, data, port) {
    if (!worker) return;
    if (data !== undefined) {
      worker.postMessage({ json: JSON.stringify(message), data: data, port: port });
    } else {
      worker.postMessage({ json: JSON.stringify(message) });
    }
  }

  function onWorkerMessage(event) {
    const message = event.data;
    if (message.send !== undefined) {
      sendMidi(message.send, message.data);
      return;
    }
    let m;
    try {
      m = JSON.parse(message.json);
    } catch (e) {
      return;
    }
    switch (m.t) {
      case 'hello': onHello(m.texts); break;
      case 'title':
        document.title = m.text;
        $('title').textContent = m.text;
        titled = true;
        markReady();
        break;
      case 'list': fillList(m.list, m.names, m.selection, m.gen); break;
      case 'enable':
        if (controls[m.control]) controls[m.control].disabled = !m.on;
        break;
      case 'status':
        $('status').value = m.text;
        if (m.announce) $('announce').textContent = m.text;
        break;
      case 'range': $('progress').max = m.max; break;
      case 'progress': $('progress').value = m.pos; break;
      case 'error': openErrorBox(m.box, m.caption, m.text); break;
      case 'listen': listening = new Set(m.ports); break;
      case 'record': storeRecord(m.json); break;
      case 'report': download(m.text); break;
      default: break;
    }
  }

  function failed() {
    $('load-failed').hidden = false;
    $('controls').hidden = true;
    body.dataset.state = 'failed';
  }

  // ----- Start: texts, instance number, MIDI -----

  async function onHello(engineTexts) {
    texts = engineTexts;
    const about = $('about');
    about.textContent = texts.aboutEntry;
    if (texts.aboutKey) about.accessKey = texts.aboutKey.toLowerCase();
    $('about-version').value = texts.aboutVersion;
    const instance = await claimInstance(texts.markers);
    if (instance === 0) {
      refuse();
      return;
    }
    body.dataset.instance = String(instance);
    post({ t: 'start', instance: instance });
    midiState = await requestMidi();
    showMidiState();
    body.dataset.midi = midiState;
    markReady();
  }

  // The lowest number from 1 to 20 that no other tab of this site holds, held with a lock of the
  // browser's for as long as this tab lives; 0 when all are taken. Only a lock that another tab
  // holds counts as taken: without Web Locks (a page that is not in a secure context), or where
  // the browser refuses them, the tab can't count its kind and takes the first number.
  async function claimInstance(markers) {
    if (!navigator.locks || typeof navigator.locks.request !== 'function') return 1;
    for (let n = 1; n <= markers.length; n++) {
      const held = await new Promise((resolve) => {
        navigator.locks.request(markers[n - 1], { ifAvailable: true }, (lock) => {
          if (!lock) {
            resolve(false);
            return undefined;
          }
          resolve(true);
          return new Promise(() => {});  // never settles: the lock goes with the tab
        }).catch(() => resolve(null));
      });
      if (held === null) return 1;
      if (held) return n;
    }
    return 0;
  }

  // A further copy: the desktop's refusal, and no window.
  function refuse() {
    worker.terminate();
    worker = null;
    $('window').hidden = true;
    $('history-section').hidden = true;
    document.title = texts.programName;
    $('refusal-caption').textContent = texts.programName;
    $('refusal-text').textContent = texts.refusal;
    $('refusal-box').showModal();
    body.dataset.state = 'refused';
  }

  async function requestMidi() {
    if (!window.isSecureContext) return 'insecure';
    if (typeof navigator.requestMIDIAccess !== 'function') return 'none';
    try {
      access = await navigator.requestMIDIAccess({ sysex: true });
    } catch (e) {
      // Refused by the user or the browser's settings, or (any other error) a browser that found
      // no MIDI system to reach.
      return e && (e.name === 'SecurityError' || e.name === 'NotAllowedError') ? 'refused' : 'nosystem';
    }
    access.onstatechange = sendPorts;
    sendPorts();
    return 'ok';
  }

  function showMidiState() {
    const message = $('message');
    let text = '';
    if (midiState === 'insecure') text = texts.notSecure;
    else if (midiState === 'none') text = texts.noWebMidi;
    else if (midiState === 'refused') text = texts.sysexRefused;
    else if (midiState === 'nosystem') text = texts.noMidiSystem;
    else if (midiState === 'ok' && connectedCount() === 0) text = texts.noDevices;
    message.textContent = text;
    message.hidden = text === '';
  }

  // Ready once the window is there with its title and its lists, filled with the devices the
  // browser found or empty beside the page's word for why there are none.
  function markReady() {
    if (body.dataset.state !== 'loading') return;
    if (midiState !== 'pending' && titled && listed.in && listed.out) body.dataset.state = 'ready';
  }

  // ----- MIDI relay -----

  function connectedCount() {
    let n = 0;
    if (!access) return 0;
    access.inputs.forEach((port) => { if (port.state === 'connected') n++; });
    access.outputs.forEach((port) => { if (port.state === 'connected') n++; });
    return n;
  }

  // The engine hears the whole list of connected ports after every change.
  function sendPorts() {
    const inputs = [];
    const outputs = [];
    access.inputs.forEach((port) => {
      if (port.state !== 'connected') return;
      inputs.push({ id: port.id, name: port.name || '' });
      relay(port);
    });
    access.outputs.forEach((port) => {
      if (port.state === 'connected') outputs.push({ id: port.id, name: port.name || '' });
    });
    listed.in = false;
    listed.out = false;
    post({ t: 'ports', inputs: inputs, outputs: outputs });  // the engine fills both lists again
    if (texts) showMidiState();
  }

  // Every connected input is open from the start, so that nothing a device sends right after a
  // message of the engine is lost while a port opens; only the ports the engine listens to are
  // relayed.
  function relay(input) {
    if (input.onmidimessage) return;
    input.onmidimessage = (event) => {
      if (listening.has(input.id)) post({ t: 'midi', port: input.id }, event.data, input.id);
    };
  }

  function sendMidi(portId, data) {
    const output = access ? access.outputs.get(portId) : undefined;
    // A port that has just gone: the engine learns of it from the list that follows.
    if (!output || output.state !== 'connected') return;
    try {
      output.send(data);
    } catch (e) {
      // The same: the port went away between the look and the send.
    }
  }

  // ----- The window's controls -----

  function fillList(list, names, selection, gen) {
    const select = lists[list];
    if (!select) return;
    select.replaceChildren(...names.map((name) => {
      const option = document.createElement('option');
      option.textContent = name;
      return option;
    }));
    select.selectedIndex = selection;
    generation[list] = gen;
    listed[list] = true;
    markReady();
  }

  lists.in.addEventListener('change', () => post({ t: 'select', list: 'in', index: lists.in.selectedIndex, gen: generation.in }));
  lists.out.addEventListener('change', () => post({ t: 'select', list: 'out', index: lists.out.selectedIndex, gen: generation.out }));
  $('rescan').addEventListener('click', () => post({ t: 'rescan' }));

  function execute() {
    if (!controls.execute.disabled) post({ t: 'execute' });
  }
  $('controls').addEventListener('submit', (event) => {
    event.preventDefault();
    execute();
  });
  // Enter anywhere in the window but on another button is "Execute", as in the desktop window.
  $('controls').addEventListener('keydown', (event) => {
    if (event.key !== 'Enter' || event.target.tagName === 'BUTTON') return;
    event.preventDefault();
    execute();
  });

  $('about').addEventListener('click', () => $('about-box').showModal());

  // ----- Error boxes: modal, the engine's run waits until the user has closed them -----

  function openErrorBox(box, caption, text) {
    errorBoxes.push({ box: box, caption: caption, text: text });
    showTopErrorBox();
  }

  function showTopErrorBox() {
    const dialog = $('error-box');
    const top = errorBoxes[errorBoxes.length - 1];
    if (!top) {
      if (dialog.open) dialog.close();
      return;
    }
    $('error-caption').textContent = top.caption;
    $('error-text').textContent = top.text;
    dialog.dataset.box = String(top.box);
    if (!dialog.open) dialog.showModal();
    $('error-ok').focus();
  }

  $('error-box').addEventListener('close', () => {
    const top = errorBoxes.pop();
    if (top) post({ t: 'dismiss', box: top.box });
    if (errorBoxes.length > 0) showTopErrorBox();
  });

  // ----- History of updates (IndexedDB) and the report -----

  function openHistory() {
    return new Promise((resolve) => {
      let request;
      try {
        request = window.indexedDB.open('tarnet-updater', 1);
      } catch (e) {
        resolve(null);
        return;
      }
      request.onupgradeneeded = () => request.result.createObjectStore('records', { autoIncrement: true });
      request.onsuccess = () => resolve(request.result);
      request.onerror = () => resolve(null);
    });
  }

  function allRecords() {
    return new Promise((resolve) => {
      if (!history) {
        resolve([]);
        return;
      }
      const request = history.transaction('records').objectStore('records').getAll();
      request.onsuccess = () => resolve(request.result.map((entry) => entry.json));
      request.onerror = () => resolve([]);
    });
  }

  // Records not yet in the database (or all of them, where the browser keeps none).
  const pendingRecords = [];

  function storeRecord(json) {
    pendingRecords.push(json);
    if (!history) {
      showHistory();
      return;
    }
    const transaction = history.transaction('records', 'readwrite');
    transaction.objectStore('records').add({ json: json });
    transaction.oncomplete = () => {
      pendingRecords.splice(pendingRecords.indexOf(json), 1);
      showHistory();
    };
  }

  async function showHistory() {
    const records = (await allRecords()).concat(pendingRecords);
    const rows = [];
    for (const json of records.slice().reverse()) {
      let r;
      try {
        r = JSON.parse(json);
      } catch (e) {
        continue;
      }
      const row = document.createElement('tr');
      row.dataset.ending = r.ending;
      const start = new Date(r.start);
      for (const text of [isNaN(start) ? r.start : start.toLocaleString(), r.midi_out, r.ending,
        (r.duration_ms / 1000).toFixed(1) + ' s']) {
        const cell = document.createElement('td');
        cell.textContent = text;
        row.append(cell);
      }
      rows.push(row);
    }
    $('history').querySelector('tbody').replaceChildren(...rows);
    $('history').hidden = rows.length === 0;
    $('history-empty').hidden = rows.length > 0;
    $('download-report').disabled = rows.length === 0;
  }

  $('download-report').addEventListener('click', async () => {
    post({ t: 'report', records: (await allRecords()).concat(pendingRecords) });
  });

  function download(text) {
    const url = URL.createObjectURL(new Blob([text], { type: 'application/json' }));
    const link = document.createElement('a');
    link.href = url;
    link.download = 'tarnet-updater-report.json';
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  }

  // ----- Start -----

  function start() {
    if (typeof WebAssembly !== 'object' || typeof Worker !== 'function') {
      failed();
      return;
    }
    try {
      worker = new Worker('engine.js');
    } catch (e) {
      failed();
      return;
    }
    worker.onmessage = onWorkerMessage;
    worker.onerror = failed;
    openHistory().then((db) => {
      history = db;
      showHistory();
    });
    // A closing tab ends a run under way in order (no message) and keeps its record.
    window.addEventListener('pagehide', (event) => {
      if (!event.persisted) post({ t: 'close' });
    });
  }

  start();
})();
