// The worker's side of the bridge to the engine (web/main/WebMain.cpp): messages from the page
// queue up here until the engine takes them; the engine's waits end when one arrives.
//
// The page posts {json} for its commands and {json, data, port} for the bytes that an input port
// received. The worker posts {json} (the engine's messages) and {send: portId, data} (MIDI bytes to
// go out). Nothing here calls the engine: it only wakes its wait.
/* exported tarnetWorker */
var tarnetWorker = (function () {
  // While the engine is held up, MIDI messages wait here; past this many, a port's further ones are
  // counted and dropped (the engine hears how many, as lost events) rather than growing without end.
  const MAX_WAITING_MIDI = 4096;
  const queue = [];
  let waitingMidi = 0;
  const dropped = new Map();  // port id -> messages dropped since its last one that queued
  let wake = null;

  self.onmessage = function (event) {
    const message = event.data;
    if (!message || typeof message.json !== 'string') return;
    if (message.data !== undefined) {
      if (waitingMidi >= MAX_WAITING_MIDI) {
        dropped.set(message.port, (dropped.get(message.port) || 0) + 1);
        return;
      }
      const lost = dropped.get(message.port);
      if (lost) {
        dropped.delete(message.port);
        message.json = JSON.stringify({ t: 'midi', port: message.port, lost: lost });
      }
      waitingMidi++;
    }
    queue.push(message);
    if (wake) {
      const w = wake;
      wake = null;
      w();
    }
  };

  return {
    post: function (json) {
      self.postMessage({ json: json });
    },
    sendMidi: function (port, data) {
      self.postMessage({ send: port, data: data }, [data.buffer]);
      return true;
    },
    take: function () {
      const message = queue.shift();
      if (message && message.data !== undefined) waitingMidi--;
      return message;
    },
    wait: function (ms) {
      return new Promise(function (resolve) {
        if (queue.length > 0) {
          resolve();
          return;
        }
        const timer = setTimeout(function () {
          wake = null;
          resolve();
        }, ms);
        wake = function () {
          clearTimeout(timer);
          resolve();
        };
      });
    },
  };
})();
