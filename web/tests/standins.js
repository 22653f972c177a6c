// Stand-ins for Web Serial and WebHID, put in place by the tests before the
// page's own scripts run. The test offers ports and devices, feeds them
// bytes and reports, and reads back what the page did to them.
//
// A port records every write with its time and whether the page was hidden,
// and keeps its last write in localStorage, so a test can still read it
// after the page that made it has gone. Like a real port, it refuses to
// close while its streams are locked, and once it has failed its readable
// is gone.
//
// Ports and devices the page was given (granted) are what getPorts() and
// getDevices() list; one unplugged leaves the list and never opens again,
// and one plugged in (a device granted before) joins it with a connect event.
(() => {
  const standins = { ports: {}, devices: {}, offeredPorts: [], offeredDevices: [] };
  window.__standins = standins;
  const granted = new Set();

  class StandinPort extends EventTarget {
    constructor(label, info) {
      super();
      this.label = label;
      this.info = info;
      this.options = null;
      this.readable = null;
      this.writable = null;
      this.closed = false;
      this.gone = false;
      this.writes = [];
      this.feeder = null;
    }

    getInfo() {
      return this.info;
    }

    async open(options) {
      if (this.gone) {
        throw new DOMException('The device has been lost.', 'NetworkError');
      }
      if (this.readable) {
        throw new DOMException('The port is already open.', 'InvalidStateError');
      }
      this.options = { ...options };
      this.closed = false;
      this.readable = new ReadableStream({
        start: (controller) => {
          this.controller = controller;
        },
      });
      this.writable = new WritableStream({
        write: (chunk) => {
          const bytes = Array.from(chunk);
          const hidden = document.visibilityState === 'hidden';
          this.writes.push({ t: performance.now(), bytes, hidden });
          localStorage.setItem(`standin-last-write-${this.label}`, JSON.stringify(bytes));
        },
      });
    }

    async close() {
      if (this.readable?.locked || this.writable?.locked) {
        throw new TypeError('Cannot close a port whose streams are locked.');
      }
      this.readable = null;
      this.writable = null;
      this.closed = true;
      this.stopFeeding();
    }

    push(bytes) {
      this.controller.enqueue(new Uint8Array(bytes));
      this.lastPushAt = performance.now();
    }

    // Pushes the same bytes every intervalMs, as a device streaming data.
    feed(bytes, intervalMs) {
      this.stopFeeding();
      this.feeder = setInterval(() => this.push(bytes), intervalMs);
    }

    stopFeeding() {
      clearInterval(this.feeder);
      this.feeder = null;
    }

    // The device is unplugged: reading fails for good.
    vanish() {
      this.gone = true;
      granted.delete(this);
      this.stopFeeding();
      this.controller.error(new DOMException('The device has been lost.', 'NetworkError'));
      this.readable = null;
    }
  }

  class StandinHidDevice extends EventTarget {
    constructor(label, productName, { vendorId = 0x1209, productId = 0x0001 } = {}) {
      super();
      this.label = label;
      this.productName = productName;
      this.vendorId = vendorId;
      this.productId = productId;
      this.collections = [{ usagePage: 1, usage: 5 }];
      this.opened = false;
      this.closed = false;
    }

    async open() {
      this.opened = true;
    }

    async close() {
      this.opened = false;
      this.closed = true;
    }

    report(reportId, bytes) {
      const event = new Event('inputreport');
      event.device = this;
      event.reportId = reportId;
      event.data = new DataView(new Uint8Array(bytes).buffer);
      this.dispatchEvent(event);
    }

    unplug() {
      this.opened = false;
      granted.delete(this);
      const event = new Event('disconnect');
      event.device = this;
      hid.dispatchEvent(event);
    }
  }

  standins.offerPort = (label, info = {}) => {
    const port = new StandinPort(label, info);
    standins.ports[label] = port;
    standins.offeredPorts.push(port);
  };
  standins.offerDevice = (label, productName, ids) => {
    const device = new StandinHidDevice(label, productName, ids);
    standins.devices[label] = device;
    standins.offeredDevices.push(device);
  };
  standins.plugPort = (label, info = {}) => {
    const port = new StandinPort(label, info);
    standins.ports[label] = port;
    granted.add(port);
    serial.dispatchEvent(new Event('connect'));
  };
  standins.plugDevice = (label, productName, ids) => {
    const device = new StandinHidDevice(label, productName, ids);
    standins.devices[label] = device;
    granted.add(device);
    const event = new Event('connect');
    event.device = device;
    hid.dispatchEvent(event);
  };

  const serial = new EventTarget();
  serial.requestPort = async () => {
    const port = standins.offeredPorts.shift();
    if (!port) {
      throw new DOMException('No port selected by the user.', 'NotFoundError');
    }
    granted.add(port);
    return port;
  };
  serial.getPorts = async () => [...granted].filter((p) => p instanceof StandinPort);

  const hid = new EventTarget();
  hid.requestDevice = async () => {
    const chosen = standins.offeredDevices.splice(0, 1);
    chosen.forEach((device) => granted.add(device));
    return chosen;
  };
  hid.getDevices = async () => [...granted].filter((d) => d instanceof StandinHidDevice);

  // Workers run as they are; the test sees what the page asks of them.
  standins.workerMessages = [];
  const PageWorker = window.Worker;
  window.Worker = class extends PageWorker {
    constructor(url, options) {
      super(url, options);
      this.url = String(url);
    }

    postMessage(message, ...rest) {
      standins.workerMessages.push({ url: this.url, message });
      super.postMessage(message, ...rest);
    }
  };

  Object.defineProperty(Navigator.prototype, 'serial', { configurable: true, get: () => serial });
  Object.defineProperty(Navigator.prototype, 'hid', { configurable: true, get: () => hid });
})();
