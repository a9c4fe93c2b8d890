// The page: the loader's view with HTML elements (page.view of the core, called by web_view.cpp),
// the controls that start the core's handlers, the file chooser and drop target, and the port
// chooser. The core decides everything the user sees; the page shows it.
"use strict";

(function () {
  const { SerialLines, coreWaits, startCore } = VestrelLines;
  const BUTTONS = ["open", "connect", "erase", "program", "verify", "run"];  // enum Button
  const CONNECT = 1;

  const $ = (id) => document.getElementById(id);
  const serial = navigator.serial;
  const lines = new SerialLines();
  const displayNames = new Map();  // label -> "Port 1", in the order the ports were granted

  // What the core has enabled; while an operation runs every control is held as well.
  const buttonEnabled = [true, true, false, false, false, false];
  const listEnabled = [true, true];
  let busy = false;
  let ready = false;
  let loadedFile = "";

  // --- the view ---

  function render() {
    // Connect, and so Load, which starts with a connect, need Web Serial.
    BUTTONS.forEach((id, index) => {
      $(id).disabled = !buttonEnabled[index] || !ready || (index === CONNECT && !serial);
    });
    $("load").disabled = $("connect").disabled;
    $("port").disabled = !listEnabled[0];
    $("choose-port").disabled = !listEnabled[0] || !serial;
    $("baud").disabled = !listEnabled[1];
    $("free-rate").disabled = !listEnabled[1];
    $("reset").disabled = !listEnabled[0];  // the reset goes with the port
    $("reset-steps").disabled = !listEnabled[0];
    document.body.classList.toggle("busy", busy);
    $("window").setAttribute("aria-busy", busy ? "true" : "false");
  }

  function showMessage(text, caption) {
    const dialog = $("message");
    $("message-caption").textContent = caption;
    const body = $("message-text");
    body.replaceChildren(...text.split("\n").map((lineText, index) => {
      const p = document.createElement("p");
      p.textContent = lineText;
      if (index === 0) p.className = "head";
      return p;
    }));
    return new Promise((resolve) => {
      dialog.addEventListener("close", () => resolve(), { once: true });
      dialog.showModal();
      $("message-ok").focus();
    });
  }

  const view = {
    setText(what, text) {  // "info", "percent", "version" or "file"
      // The percent text is set for every block; an unchanged text costs the page no layout.
      if ($(what).textContent !== text) $(what).textContent = text;
      if (what === "file") $("file-hint").hidden = text !== "";
    },
    setProgress(percent) {
      if ($("bar").value !== percent) $("bar").value = percent;
    },
    setStatusPanel(index, text) {
      const panel = $("panel" + index);
      if (panel) panel.textContent = text;
    },
    showMessage,
    setButtonEnabled(index, enabled) {
      buttonEnabled[index] = enabled;
      render();
    },
    setListEnabled(index, enabled) {
      listEnabled[index] = enabled;
      render();
    },
    selectedBaudIndex() {
      return freeRateChosen() ? -1 : $("baud").selectedIndex;
    },
    selectBaudIndex(index) {
      $("baud").selectedIndex = index;
      showFreeRate();
    },
    ...coreWaits(lines),
  };

  let coreModule = null;
  startCore(view, lines, (what) => showMessage(`Internal Error\n${what}\nReload the page to start again.`, "Error"))
    .then((core) => {
      coreModule = core;
      fillBaudList();
      ready = true;
      render();
    });

  // The core's baud list before the free rate, its usual entry selected.
  function fillBaudList() {
    const rates = coreModule.ccall("vestrel_baud_rates", "string", [], []).split(" ");
    $("baud").querySelector('option[value="free"]').before(...rates.map((rate) => new Option(rate)));
    $("baud").selectedIndex = coreModule.ccall("vestrel_default_baud_index", "number", [], []);
  }

  const freeRateChosen = () => $("baud").value === "free";

  // --- operations: one at a time, as on the window's own thread ---

  async function operate(action) {
    if (busy || !ready) return;
    busy = true;
    const focused = document.activeElement;
    render();
    try {
      await action();
    } finally {
      busy = false;
      render();
      // An operation disables the button it was started with; give the focus back to it.
      if (focused && document.activeElement === document.body && !focused.disabled) focused.focus();
    }
  }

  function core(name, types = [], args = []) {
    return coreModule.ccall(name, null, types, args, { async: true });
  }

  // Hands the chosen reset sequence to the loader; a written one that it refuses is shown in a
  // box, and then nothing is sent.
  async function chooseReset() {
    const chosen = $("reset").value;
    const text = chosen === "written" ? $("reset-steps").value.trim() : chosen;
    const error = coreModule.ccall("vestrel_set_reset", "string", ["string"], [text]);
    if (error) await showMessage(`Reset Sequence Error\n${error}`, "Error");
    return !error;
  }

  // Hands the chosen port and rate to the loader before it connects.
  function chooseLine() {
    const label = $("port").value;
    const baudIndex = $("baud").selectedIndex;
    const freeRate = freeRateChosen() && $("free-rate").checkValidity()
      ? Number($("free-rate").value) : 0;
    coreModule.ccall("vestrel_choose_line", null, ["string", "string", "number", "number"],
                 [displayNames.get(label) || "", label, baudIndex, freeRate]);
  }

  function click(index) {
    operate(async () => {
      if (index === CONNECT) {
        if (!(await chooseReset())) return;
        chooseLine();
      }
      await core("vestrel_click", ["number"], [index]);
    });
  }

  function loadAll() {
    operate(async () => {
      if (!(await chooseReset())) return;
      chooseLine();
      await core("vestrel_run_all");
    });
  }

  // --- the HEX or ELF file (told apart by content): chosen or dropped, handed to the core ---

  function memoryName(name) {
    const plain = name.replace(/[/\\]/g, "_");
    return plain === "" || plain === "." || plain === ".." ? "firmware.hex" : plain;
  }

  function openFile(file) {
    if (!file || !buttonEnabled[0]) return;
    operate(async () => {
      const bytes = new Uint8Array(await file.arrayBuffer());
      const name = memoryName(file.name);
      if (loadedFile && loadedFile !== name) coreModule.FS.unlink(loadedFile);
      coreModule.FS.writeFile(name, bytes);
      loadedFile = name;
      await core("vestrel_open_file", ["string"], [name]);
    });
  }

  $("open").addEventListener("click", () => {
    if (!busy) $("file-input").click();
  });
  $("file-input").addEventListener("change", (event) => {
    openFile(event.target.files[0]);
    event.target.value = "";  // the same file again is a new choice
  });

  let dragDepth = 0;
  function carriesFiles(event) {
    return event.dataTransfer && [...event.dataTransfer.types].includes("Files");
  }
  document.addEventListener("dragenter", (event) => {
    if (!carriesFiles(event)) return;
    event.preventDefault();
    if (++dragDepth === 1 && !busy && buttonEnabled[0]) $("drop-cue").hidden = false;
  });
  document.addEventListener("dragover", (event) => {
    if (!carriesFiles(event)) return;
    event.preventDefault();
    event.dataTransfer.dropEffect = busy || !buttonEnabled[0] ? "none" : "copy";
  });
  document.addEventListener("dragleave", () => {
    if (dragDepth > 0 && --dragDepth === 0) $("drop-cue").hidden = true;
  });
  document.addEventListener("drop", (event) => {
    if (!carriesFiles(event)) return;
    event.preventDefault();
    dragDepth = 0;
    $("drop-cue").hidden = true;
    openFile(event.dataTransfer.files[0]);
  });

  // --- ports ---

  function listPorts(selectLabel) {
    const select = $("port");
    const current = selectLabel ?? select.value;
    const entries = lines.labels().map((label) => {
      if (!displayNames.has(label)) displayNames.set(label, "Port " + (displayNames.size + 1));
      return new Option(displayNames.get(label) + " \u2013 " + label, label);
    });
    select.replaceChildren(...(entries.length ? entries : [new Option("none chosen", "")]));
    if (lines.labels().includes(current)) select.value = current;
  }

  async function choosePort() {
    if (busy) return;
    try {
      const port = await serial.requestPort();
      listPorts(lines.grant(port));
    } catch (error) {
      // The user closed the chooser without a port: nothing changes.
    }
  }

  function showFreeRate() {
    const free = freeRateChosen();
    $("free-rate").hidden = !free;
    return free;
  }

  $("choose-port").addEventListener("click", choosePort);
  $("reset").addEventListener("change", () => {
    const written = $("reset").value === "written";
    $("reset-steps").hidden = !written;
    if (written) $("reset-steps").focus();
  });
  $("baud").addEventListener("change", () => {
    if (showFreeRate()) $("free-rate").focus();
  });
  BUTTONS.forEach((id, index) => {
    if (index > 0) $(id).addEventListener("click", () => click(index));
  });
  $("load").addEventListener("click", loadAll);
  $("message-ok").addEventListener("click", () => $("message").close());

  window.addEventListener("beforeunload", (event) => {
    if (busy) event.preventDefault();  // leaving now would cut a load short
  });

  if (serial) {
    serial.addEventListener("connect", (event) => {
      lines.grant(event.target);
      listPorts();
    });
    serial.addEventListener("disconnect", (event) => {
      lines.forget(event.target);
      listPorts();
    });
    serial.getPorts().then((ports) => {
      ports.forEach((port) => lines.grant(port));
      listPorts();
    });
  } else {
    $("no-serial").hidden = false;
    $("panel0").textContent = "No Web Serial in this browser";
  }
  render();
})();
