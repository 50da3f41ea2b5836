// VYR studio's page: draws what the studio pushes (the pane, the phone, the studio's status) and
// sends the user's changes, each through the pane's own cells on the studio's side. No polling:
// the studio pushes every change as a Server-Sent Event.
"use strict";

const state = { settings: null, phone: null, status: null };
// The sub-page open in the Settings column: {kind: "list" | "colour", key}, or null.
let subpage = null;
// The colour picker's own state while it is open: {key, h, s, b, a, sent, stored}.
let picker = null;

const $ = (id) => document.getElementById(id);

function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (value === undefined || value === null || value === false) continue;
    if (name === "class") node.className = value;
    else if (name.startsWith("on")) node.addEventListener(name.slice(2), value);
    else node.setAttribute(name, value === true ? "" : value);
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

// ---- messages ---------------------------------------------------------------------------------

function say(text, isError) {
  const note = el("p", { class: isError ? "message error" : "message" }, text);
  $("messages").append(note);
  setTimeout(() => note.remove(), isError ? 12000 : 5000);
}

async function post(path, body) {
  let response;
  try {
    response = await fetch(path, {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify(body),
    });
  } catch (e) {
    say("The studio cannot be reached: is vyr studio still running?", true);
    return null;
  }
  let answer = {};
  try {
    answer = await response.json();
  } catch (e) {
    answer = {};
  }
  if (!response.ok) {
    say(answer.error || `The studio refused the change (HTTP ${response.status}).`, true);
    return null;
  }
  return answer;
}

// ---- colours ----------------------------------------------------------------------------------

// "#rrggbbaa" or "#rrggbb" as CSS.
function cssColour(hex) {
  const m = /^#?([0-9a-f]{6})([0-9a-f]{2})?$/i.exec(hex || "");
  if (!m) return "transparent";
  const a = m[2] ? parseInt(m[2], 16) / 255 : 1;
  const n = parseInt(m[1], 16);
  return `rgba(${n >> 16}, ${(n >> 8) & 255}, ${n & 255}, ${a.toFixed(3)})`;
}

function swatch(css) {
  const dot = el("span", { class: "swatch", "aria-hidden": "true" }, el("i"));
  dot.firstChild.style.background = css;
  return dot;
}

// A colour string as the colour cells store it ("#RRGGBB:alpha", "#rgb", ...) as
// {r, g, b, a}, or null.
function parseColourString(text) {
  const m = /^\s*#?([0-9a-f]{6}|[0-9a-f]{3})(?::([0-9]*\.?[0-9]+))?\s*$/i.exec(text || "");
  if (!m) return null;
  let hex = m[1];
  if (hex.length === 3) hex = hex.split("").map((c) => c + c).join("");
  const n = parseInt(hex, 16);
  const a = m[2] === undefined ? 1 : Math.min(1, Math.max(0, parseFloat(m[2])));
  return { r: n >> 16, g: (n >> 8) & 255, b: n & 255, a };
}

function rgbToHsb({ r, g, b }) {
  const [R, G, B] = [r / 255, g / 255, b / 255];
  const max = Math.max(R, G, B);
  const d = max - Math.min(R, G, B);
  let h = 0;
  if (d > 0) {
    if (max === R) h = ((G - B) / d) % 6;
    else if (max === G) h = (B - R) / d + 2;
    else h = (R - G) / d + 4;
    h *= 60;
    if (h < 0) h += 360;
  }
  return { h, s: max === 0 ? 0 : d / max, b: max };
}

function hsbToRgb(h, s, v) {
  const f = (n) => {
    const k = (n + h / 60) % 6;
    return Math.round(255 * (v - v * s * Math.max(0, Math.min(k, 4 - k, 1))));
  };
  return { r: f(5), g: f(3), b: f(1) };
}

const hex2 = (n) => n.toString(16).padStart(2, "0").toUpperCase();
const hexOf = ({ r, g, b }) => `#${hex2(r)}${hex2(g)}${hex2(b)}`;

// ---- the phone --------------------------------------------------------------------------------

const fileNotes = {
  missing: ["There is no settings file yet: every element shows its default.", false],
  unreadable: [
    "The settings file cannot be read: SpringBoard keeps the values it read last (a new process starts from the defaults).",
    true,
  ],
  unreachable: ["The device's preferences folder cannot be reached: the settings cannot be read.", true],
};

function renderPhone() {
  const phone = state.phone;
  if (phone) {
    if (phone.svg) {
      $("screens").innerHTML = phone.svg;
    } else {
      $("screens").replaceChildren();
    }
    const tbody = $("sources").tBodies[0];
    tbody.replaceChildren(
      ...phone.rows.map((row) =>
        el(
          "tr",
          {},
          el("td", {}, row.screen),
          el("td", {}, row.item),
          el("td", {}, row.element),
          el("td", {}, row.source),
          el("td", { class: "colour" }, row.value.startsWith("#") ? swatch(cssColour(row.value)) : null, row.value)
        )
      )
    );
    const notes = [];
    if (phone.error) notes.push([`The phone cannot be drawn: ${phone.error}`, true]);
    if (fileNotes[phone.settingsFile]) notes.push(fileNotes[phone.settingsFile]);
    const notice = $("phone-notice");
    notice.hidden = notes.length === 0;
    notice.textContent = notes.map((n) => n[0]).join(" ");
    notice.classList.toggle("error", notes.some((n) => n[1]));
  }
  renderSpringBoard();
}

function renderSpringBoard() {
  const status = state.status;
  const phone = state.phone;
  const sb = status ? status.springboard : null;
  const running = sb && sb.phase === "running";
  const parts = [];
  if (running && phone) parts.push(`SpringBoard pid ${phone.pid}`);
  if (status) parts.push(`iOS ${status.ios}`);
  if (running && phone) parts.push(`lock screen: ${phone.lockStyle} style (${phone.lockStyleHostsOwn ? "its own" : "VYR"})`);
  $("springboard").textContent = parts.join(" · ");
  $("springboard").dataset.pid = running && phone ? String(phone.pid) : "";

  const overlay = $("phone-overlay");
  overlay.hidden = !sb || running;
  if (sb && !running) {
    $("overlay-text").textContent =
      sb.message || (sb.phase === "starting" ? "Starting SpringBoard…" : "SpringBoard is not running.");
    $("start-springboard").hidden = sb.phase !== "stopped";
  }
}

function renderStatus() {
  const status = state.status;
  if (!status) return;
  $("device").textContent = `Device ${status.device}`;
  const ds = status.deviceState;
  const battery = $("battery");
  if (document.activeElement !== battery) battery.value = ds.battery;
  $("battery-value").textContent = `${battery.value}%`;
  $("charging").checked = ds.charging;
  for (const radio of document.querySelectorAll('input[name="style"]')) radio.checked = radio.value === ds.style;
  for (const notice of status.notices || []) {
    if (!renderStatus.shown.has(notice)) {
      renderStatus.shown.add(notice);
      say(notice, true);
    }
  }
  renderSpringBoard();
}
renderStatus.shown = new Set();

// ---- the Settings pane ------------------------------------------------------------------------

function findRow(key) {
  if (!state.settings || !state.settings.groups) return null;
  for (const group of state.settings.groups) {
    for (const row of group.rows) if (row.key === key) return { ...row, group: group.header };
  }
  return null;
}

async function setRow(key, value) {
  return post("api/set", { key, value });
}

function rowNode(row) {
  const key = row.key || undefined;
  switch (row.kind) {
    case "switch": {
      const input = el("input", {
        type: "checkbox",
        role: "switch",
        class: "switch",
        "data-key": key,
        "aria-label": row.label,
        onchange: async (e) => {
          const wanted = e.target.checked;
          if (!(await setRow(row.key, wanted ? "YES" : "NO"))) e.target.checked = !wanted;
        },
      });
      input.checked = row.value === "YES";
      return el("label", { class: "row", "data-row": key }, el("span", { class: "label" }, row.label), input);
    }
    case "list": {
      const chosen = (row.choices || []).find((c) => c.title === row.value);
      return el(
        "button",
        { type: "button", class: "row link", "data-row": key, onclick: () => openSubpage({ kind: "list", key: row.key }) },
        el("span", { class: "label" }, row.label),
        el("span", { class: "value" }, chosen && chosen.swatch ? swatch(cssColour(chosen.swatch)) : null, row.value),
        el("span", { class: "chevron", "aria-hidden": "true" }, "›")
      );
    }
    case "colour": {
      const colour = parseColourString(row.value);
      const css = colour ? `rgba(${colour.r}, ${colour.g}, ${colour.b}, ${colour.a})` : "transparent";
      return el(
        "button",
        { type: "button", class: "row link", "data-row": key, onclick: () => openSubpage({ kind: "colour", key: row.key }) },
        el("span", { class: "label" }, row.label),
        el("span", { class: "value" }, swatch(css), row.value),
        el("span", { class: "chevron", "aria-hidden": "true" }, "›")
      );
    }
    case "text": {
      const input = el("input", {
        type: "text",
        "data-key": key,
        "aria-label": row.label,
        onchange: (e) => setRow(row.key, e.target.value),
      });
      input.value = row.value;
      return el("label", { class: "row", "data-row": key }, el("span", { class: "label" }, row.label), input);
    }
    case "button":
      return el(
        "button",
        { type: "button", class: "row button", "data-button": row.label, onclick: () => tapButton(row.label) },
        el("span", { class: "label" }, row.label)
      );
    default:
      return el(
        "div",
        { class: "row", "data-row": key },
        el("span", { class: "label" }, row.label),
        row.value ? el("span", { class: "value" }, row.value) : null
      );
  }
}

function renderPane() {
  const settings = state.settings;
  const pane = $("pane");
  if (!settings) return;
  if (settings.error) {
    pane.replaceChildren(el("p", { class: "error" }, settings.error));
    $("nav-right").hidden = true;
    return;
  }
  $("nav-back-title").textContent = settings.title;
  const right = $("nav-right");
  right.hidden = !settings.rightButton;
  right.textContent = settings.rightButton || "";
  const nodes = [];
  if (settings.notice) nodes.push(el("p", { class: "notice" }, settings.notice));
  for (const group of settings.groups) {
    if (group.header) nodes.push(el("h3", { class: "group-header" }, group.header));
    else nodes.push(el("div", { class: "group-header", "aria-hidden": "true" }));
    nodes.push(el("div", { class: "rows" }, group.rows.map(rowNode)));
    if (group.footer) nodes.push(el("p", { class: "group-footer" }, group.footer));
  }
  const scroll = pane.scrollTop;
  pane.replaceChildren(...nodes);
  pane.scrollTop = scroll;
  renderSubpage();
}

async function tapButton(label) {
  const answer = await post("api/tap", { label });
  if (!answer) return;
  if (answer.opened) say(`${label}: the package manager opened ${answer.opened}`);
  else say(`${label}: tapped`);
}

function openSubpage(page) {
  subpage = page;
  picker = null;
  renderSubpage();
  $("subpane").scrollTop = 0;
}

function closeSubpage() {
  subpage = null;
  picker = null;
  renderSubpage();
}

function renderSubpage() {
  const row = subpage ? findRow(subpage.key) : null;
  const sub = $("subpane");
  const inSub = Boolean(subpage && row);
  $("pane").hidden = inSub;
  sub.hidden = !inSub;
  $("nav-back").hidden = !inSub;
  $("nav-right").hidden = inSub || !(state.settings && state.settings.rightButton);
  $("nav-title").textContent = inSub ? row.label : state.settings ? state.settings.title : "VYR";
  if (!inSub) {
    subpage = null;
    return;
  }
  if (subpage.kind === "list") renderChoices(row);
  else renderPicker(row);
}

function renderChoices(row) {
  const buttons = (row.choices || []).map((choice) =>
    el(
      "button",
      {
        type: "button",
        class: "row",
        "data-choice": choice.title,
        "aria-pressed": choice.title === row.value ? "true" : "false",
        onclick: () => setRow(row.key, choice.value),
      },
      choice.swatch ? swatch(cssColour(choice.swatch)) : null,
      el("span", { class: "label" }, choice.title),
      choice.title === row.value ? el("span", { class: "check", "aria-hidden": "true" }, "✓") : null
    )
  );
  $("subpane").replaceChildren(
    el("div", { class: "group-header" }, row.group || row.label),
    el("div", { class: "rows" }, buttons)
  );
}

// The picker writes while it is dragged, at most every WRITE_INTERVAL ms, and once more when
// the drag ends: each write goes through the colour cell, which stores "#RRGGBB:alpha".
const WRITE_INTERVAL = 120;

function pickerColourString() {
  const rgb = hsbToRgb(picker.h, picker.s, picker.b);
  return `${hexOf(rgb)}:${picker.a.toFixed(6)}`;
}

let writeTimer = null;
let writeDue = false;
function schedulePickerWrite() {
  writeDue = true;
  if (writeTimer) return;
  const flush = async () => {
    writeTimer = null;
    if (!writeDue || !picker) return;
    writeDue = false;
    const text = pickerColourString();
    if (picker.sent.size > 100) picker.sent.clear();
    picker.sent.add(text);
    const answer = await setRow(picker.key, text);
    if (answer && picker) picker.stored = answer.value;
    if (writeDue) writeTimer = setTimeout(flush, WRITE_INTERVAL);
  };
  writeTimer = setTimeout(flush, WRITE_INTERVAL);
}

function renderPicker(row) {
  const stored = parseColourString(row.value);
  // The picker keeps its own hue and saturation while it is open (a grey has no hue); a change of
  // the stored value from elsewhere replaces them. News of its own earlier writes, which may
  // arrive while it is still being dragged, does not.
  const ownWrite = picker && picker.key === row.key && (row.value === picker.stored || picker.sent.has(row.value));
  if (!ownWrite) {
    const start = stored || { r: 161, g: 161, b: 161, a: 1 };
    const hsb = rgbToHsb(start);
    picker = { key: row.key, h: hsb.h, s: hsb.s, b: hsb.b, a: start.a, sent: new Set(), stored: row.value };
  } else {
    picker.stored = row.value;
  }
  const sub = $("subpane");
  if (sub.dataset.picker === row.key && sub.querySelector(".picker")) {
    updatePicker(row);
    return;
  }
  sub.dataset.picker = row.key;
  const slider = (name, label, max, get, set) => {
    const input = el("input", {
      type: "range",
      min: "0",
      max: String(max),
      step: "1",
      "data-channel": name,
      "aria-label": label,
      oninput: (e) => {
        set(Number(e.target.value));
        updatePicker();
        schedulePickerWrite();
      },
    });
    input.value = String(Math.round(get()));
    return el("label", {}, el("span", {}, label), input, el("output", { "data-for": name }));
  };
  const hexInput = el("input", {
    type: "text",
    id: "picker-hex",
    maxlength: "7",
    spellcheck: "false",
    autocomplete: "off",
    "aria-label": "Hex colour",
    onchange: (e) => {
      const parsed = parseColourString(e.target.value);
      if (!parsed || /:/.test(e.target.value)) {
        e.target.setAttribute("aria-invalid", "true");
        say(`'${e.target.value}' is not a colour: type six hexadecimal digits, as #FF3B30.`, true);
        return;
      }
      e.target.removeAttribute("aria-invalid");
      const hsb = rgbToHsb(parsed);
      Object.assign(picker, { h: hsb.h, s: hsb.s, b: hsb.b });
      updatePicker(null, true);
      schedulePickerWrite();
    },
  });
  sub.replaceChildren(
    el("div", { class: "group-header" }, row.group || row.label),
    el(
      "div",
      { class: "picker" },
      el("div", { class: "preview", id: "picker-preview" }, el("i")),
      slider("h", "Hue", 360, () => picker.h, (v) => (picker.h = v)),
      slider("s", "Saturation", 100, () => picker.s * 100, (v) => (picker.s = v / 100)),
      slider("b", "Brightness", 100, () => picker.b * 100, (v) => (picker.b = v / 100)),
      slider("a", "Alpha", 100, () => picker.a * 100, (v) => (picker.a = v / 100)),
      el("label", { class: "hex" }, el("span", {}, "Hex"), hexInput, el("span")),
      el("p", { class: "stored", id: "picker-stored" })
    )
  );
  updatePicker(row, true);
}

// Shows the picker's state: preview, slider tracks and read-outs, the hex field (unless it is
// being typed in), the stored value.
function updatePicker(row, syncSliders) {
  const sub = $("subpane");
  const rgb = hsbToRgb(picker.h, picker.s, picker.b);
  const base = hsbToRgb(picker.h, picker.s, 1);
  const css = (c, a = 1) => `rgba(${c.r}, ${c.g}, ${c.b}, ${a})`;
  $("picker-preview").firstChild.style.background = css(rgb, picker.a);
  const tracks = {
    h: "linear-gradient(to right, #f00, #ff0, #0f0, #0ff, #00f, #f0f, #f00)",
    s: `linear-gradient(to right, ${css(hsbToRgb(picker.h, 0, picker.b))}, ${css(hsbToRgb(picker.h, 1, picker.b))})`,
    b: `linear-gradient(to right, #000, ${css(base)})`,
    a: `linear-gradient(to right, ${css(rgb, 0)}, ${css(rgb, 1)})`,
  };
  const values = { h: picker.h, s: picker.s * 100, b: picker.b * 100, a: picker.a * 100 };
  for (const input of sub.querySelectorAll("input[data-channel]")) {
    const name = input.dataset.channel;
    input.style.background = tracks[name];
    if (syncSliders || document.activeElement !== input) input.value = String(Math.round(values[name]));
    sub.querySelector(`output[data-for="${name}"]`).textContent =
      name === "h" ? `${Math.round(values.h)}°` : `${Math.round(values[name])}%`;
  }
  const hex = $("picker-hex");
  if (document.activeElement !== hex) {
    hex.value = hexOf(rgb);
    hex.removeAttribute("aria-invalid");
  }
  const storedText = row ? row.value : picker.stored;
  $("picker-stored").textContent = `Stored: ${storedText}`;
}

// ---- the device-state controls ----------------------------------------------------------------

let deviceTimer = null;
function sendDevice(change, immediately) {
  clearTimeout(deviceTimer);
  const send = () => post("api/device", change);
  if (immediately) send();
  else deviceTimer = setTimeout(send, 80);
}

function wireControls() {
  $("battery").addEventListener("input", (e) => {
    $("battery-value").textContent = `${e.target.value}%`;
    sendDevice({ battery: Number(e.target.value) }, false);
  });
  $("charging").addEventListener("change", (e) => sendDevice({ charging: e.target.checked }, true));
  for (const radio of document.querySelectorAll('input[name="style"]')) {
    radio.addEventListener("change", (e) => sendDevice({ style: e.target.value }, true));
  }
  $("controls").addEventListener("submit", (e) => e.preventDefault());
  $("nav-back").addEventListener("click", closeSubpage);
  $("nav-right").addEventListener("click", async () => {
    const answer = await post("api/respring", {});
    if (answer) say(`${answer.tapped}: the device's user interface restarts`);
  });
  $("start-springboard").addEventListener("click", () => post("api/springboard", {}));
}

// ---- the stream of changes --------------------------------------------------------------------

function apply(topic, value) {
  if (value === null || value === undefined) return;
  state[topic] = value;
  if (topic === "settings") renderPane();
  else if (topic === "phone") renderPhone();
  else renderStatus();
}

function connect() {
  const pill = $("connection");
  const events = new EventSource("api/events");
  let lostTimer = null;
  events.addEventListener("open", () => {
    clearTimeout(lostTimer);
    pill.dataset.state = "live";
    pill.textContent = "live";
  });
  events.addEventListener("error", () => {
    pill.dataset.state = "connecting";
    pill.textContent = "reconnecting…";
    clearTimeout(lostTimer);
    lostTimer = setTimeout(() => {
      pill.dataset.state = "lost";
      pill.textContent = "studio not reachable";
      say("The connection to the studio was lost: is vyr studio still running? The page shows the last state it received.", true);
    }, 3000);
  });
  for (const topic of ["settings", "phone", "status"]) {
    events.addEventListener(topic, (e) => {
      try {
        apply(topic, JSON.parse(e.data));
      } catch (err) {
        say(`The studio sent something the page cannot read (${topic}).`, true);
      }
    });
  }
}

document.addEventListener("DOMContentLoaded", () => {
  wireControls();
  connect();
});
