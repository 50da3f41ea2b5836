// VYR studio's page: draws what the studio pushes (the pane, the phone, the studio's status) and
// sends the user's changes, each through the pane's own cells on the studio's side. No polling:
// the studio pushes every change as a Server-Sent Event.
"use strict";

const state = { settings: null, phone: null, status: null };
// The sub-page open in the Settings column: {kind: "list" | "colour", key}, or null.
let subpage = null;
// The colour picker's own state while it is open: {key, h, s, b, a, sent, stored}.
let picker = null;
// Where each element is drawn on the phone (api/layout): {canvas, bar, elements}.
let layout = null;
// The row under the pointer or the focus: {key, element}, or null.
let pointed = null;
// The screen whose status bar the magnifier shows.
let magnified = "home";
// Notices the user dismissed: not shown again while their text stays the same.
const dismissed = new Set();

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

// A control to dismiss NODE; it calls ONDISMISS after removing or hiding it.
function dismissButton(node, what, ondismiss) {
  return el(
    "button",
    {
      type: "button",
      class: "dismiss",
      "aria-label": `Dismiss ${what}`,
      onclick: () => {
        if (ondismiss) ondismiss();
        else node.remove();
      },
    },
    "×"
  );
}

// At most this many information messages show at once; the oldest goes first.
const kMaxInfoMessages = 3;

// Shows TEXT: information fades after a few seconds, an error stays until it is dismissed.
function say(text, isError) {
  const note = el("div", { class: isError ? "message error" : "message" }, el("p", {}, text));
  note.append(dismissButton(note, "this message"));
  $("messages").append(note);
  if (isError) return;
  const shown = $("messages").querySelectorAll(".message:not(.error)");
  for (let i = 0; i + kMaxInfoMessages < shown.length; ++i) shown[i].remove();
  setTimeout(() => note.remove(), 5000);
}

// Re-renders CONTAINER with RENDER, keeping the focus on the control that had it: every control
// carries an id that stays the same across renders.
function keepFocus(container, render) {
  const active = document.activeElement;
  const id = active && active !== document.body && container.contains(active) ? active.id : "";
  render();
  if (!id) return;
  const again = document.getElementById(id);
  if (again && again !== document.activeElement) again.focus({ preventScroll: true });
}

// A stable id for a control of the pane.
const controlId = (kind, name) => `${kind}-${String(name).replace(/[^A-Za-z0-9_-]+/g, "-")}`;

// Sends a request to the studio and reads its JSON answer; null, the user told why, when the
// studio cannot be reached, was restarted, or refused the request (REFUSED says what was refused
// when the answer names no error).
async function ask(path, init, refused) {
  let response;
  try {
    response = await fetch(path, { method: "POST", ...init });
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
  if (response.status === 403 && response.headers.get("X-VYR-Studio") !== studioId) {
    restarted();
    return null;
  }
  if (!response.ok) {
    say(answer.error || `${refused} (HTTP ${response.status}).`, true);
    return null;
  }
  return answer;
}

async function post(path, body) {
  const answer = await ask(
    path,
    { headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) },
    "The studio refused the change"
  );
  // A change that was made but cannot be undone says so.
  if (answer && answer.note) say(answer.note, true);
  return answer;
}

// ---- colours ----------------------------------------------------------------------------------

// The page never reads a colour string itself: the server sends, beside each colour string, the
// colour the library reads from it as {red, green, blue (bytes), alpha (0 to 1)}, or null when
// that reading is a random colour. As CSS; a random colour shows no colour.
function cssOf(reads) {
  return reads ? `rgba(${reads.red}, ${reads.green}, ${reads.blue}, ${reads.alpha})` : "transparent";
}

// A swatch of CSS colour CSS (a preset's swatch comes as "#rrggbbaa", which CSS takes as it is).
function swatch(css) {
  const dot = el("span", { class: "swatch", "aria-hidden": "true" }, el("i"));
  dot.firstChild.style.background = css;
  return dot;
}

// The picker's {r, g, b, a} of a library reading; the grey of an unset colour when it is random.
function rgbaOf(reads) {
  return reads ? { r: reads.red, g: reads.green, b: reads.blue, a: reads.alpha } : { r: 161, g: 161, b: 161, a: 1 };
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

// The phone's picture is shown as an image of the SVG the studio drew, never as part of the
// document: an image costs one decode, where the same SVG in the document cost a style and layout
// pass over thousands of glyph references, and as much again for each view of the magnifier.
// `picture` is the object URL of the image on the page (null when there is none); the magnifier
// shows parts of it. A picture replaces the one on the page only once it is decoded, so the phone
// never blinks, and one that a newer picture overtook while decoding is dropped.
let picture = null;
let pictureSvg = null;
let pictureRequest = 0;

async function showPicture(svg) {
  if (svg === pictureSvg) return;  // a status change: the same picture
  pictureSvg = svg;
  const request = ++pictureRequest;
  let image = null;
  const url = svg ? URL.createObjectURL(new Blob([svg], { type: "image/svg+xml" })) : null;
  if (url) {
    image = el("img", { id: "phone-picture", src: url, alt: "" });
    try {
      await image.decode();
    } catch (e) {
      // Shown as the browser can: the notice under the phone says when the studio could not draw.
    }
    if (request !== pictureRequest) {
      URL.revokeObjectURL(url);
      return;
    }
  }
  $("screens").replaceChildren(...(image ? [image] : []));
  const shown = picture;
  picture = url;
  renderMagnifier();
  if (shown) URL.revokeObjectURL(shown);
}

function renderPhone() {
  const phone = state.phone;
  if (phone) {
    showPicture(phone.svg || null);
    const tbody = $("sources").tBodies[0];
    tbody.replaceChildren(
      ...phone.rows.map((row) =>
        el(
          "tr",
          {
            "data-element": row.element,
            onmouseenter: () => point({ element: row.element, key: row.element, screen: row.screen }),
            onmouseleave: () => point(null),
          },
          el("td", {}, row.screen),
          el("td", {}, row.item),
          el("td", {}, row.element),
          el("td", {}, row.source),
          el("td", { class: "colour" }, "reads" in row ? swatch(cssOf(row.reads)) : null, row.value)
        )
      )
    );
    const notes = [];
    if (phone.error) notes.push([`The phone cannot be drawn: ${phone.error}`, true]);
    if (fileNotes[phone.settingsFile]) notes.push(fileNotes[phone.settingsFile]);
    // What this SpringBoard shows that the settings file no longer says, and what a respring would.
    for (const note of phone.notes || []) notes.push([note, false]);
    const notice = $("phone-notice");
    const text = notes.map((n) => n[0]).join(" ");
    notice.hidden = notes.length === 0 || dismissed.has(text);
    notice.replaceChildren(
      el("p", {}, text),
      dismissButton(notice, "this notice", () => {
        dismissed.add(text);
        notice.hidden = true;
      })
    );
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
  // The running SpringBoard's release; the device's setting shows until one runs.
  if (running && phone && phone.ios) parts.push(`iOS ${phone.ios}`);
  else if (status) parts.push(`iOS ${status.ios}`);
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
  // Each tab says which device it shows.
  const folder = String(status.device).replace(/\/+$/, "").split("/").pop() || status.device;
  document.title = `${folder} · VYR studio`;
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

// The element of the phone that the pane's row KEY colours, or null.
function elementOfKey(key) {
  if (!layout || !key) return null;
  const found = layout.elements.find((e) => e.keys.includes(key));
  return found ? found.name : null;
}

// Hovering or focusing a row shows on the phone what it colours.
function pointHandlers(key) {
  const element = elementOfKey(key);
  if (!element) return {};
  const target = { element, key };
  return {
    "data-element": element,
    onmouseenter: () => point(target),
    onmouseleave: () => point(null),
    onfocusin: () => point(target),
    onfocusout: () => point(null),
  };
}

// A row whose value cannot show now (a preset while the custom colour is on, a colour while it is
// off) is marked and says which switch decides; it still takes a value, for later.
function inactiveAttributes(row) {
  if (!row.inactive) return {};
  return { "aria-disabled": "true", "aria-describedby": controlId("hint", row.key) };
}
function inactiveHint(row) {
  if (!row.inactive) return null;
  return el("span", { class: "hint", id: controlId("hint", row.key) }, row.inactive);
}

// A row that opens a sub-page of KIND (a list's choices, a colour's picker), showing its value
// after SWATCH (a node, or null); NAME is its accessible name.
function linkRow(row, name, kind, swatchNode) {
  const key = row.key || undefined;
  return el(
    "button",
    {
      type: "button",
      class: row.inactive ? "row link inactive" : "row link",
      "data-row": key,
      id: controlId("control", key),
      "aria-label": name,
      ...inactiveAttributes(row),
      onclick: () => openSubpage({ kind, key: row.key }),
      ...pointHandlers(key),
    },
    el("span", { class: "label" }, row.label),
    el("span", { class: "value" }, swatchNode, row.value),
    el("span", { class: "chevron", "aria-hidden": "true" }, "›"),
    inactiveHint(row)
  );
}

function rowNode(row, group) {
  const key = row.key || undefined;
  // The group's name goes with every control's name: six rows are called "Enabled".
  const named = (label) => (group ? `${group}: ${label}` : label);
  switch (row.kind) {
    case "switch": {
      const input = el("input", {
        type: "checkbox",
        role: "switch",
        class: "switch",
        "data-key": key,
        id: controlId("control", key),
        "aria-label": named(row.label),
        onchange: async (e) => {
          const wanted = e.target.checked;
          if (!(await setRow(row.key, wanted ? "YES" : "NO"))) e.target.checked = !wanted;
        },
      });
      input.checked = row.value === "YES";
      return el(
        "label",
        { class: "row", "data-row": key, ...pointHandlers(key) },
        el("span", { class: "label", "aria-hidden": "true" }, row.label),
        input
      );
    }
    case "list": {
      const chosen = (row.choices || []).find((c) => c.title === row.value);
      const dot = chosen && chosen.swatch ? swatch(chosen.swatch) : null;
      return linkRow(row, named(`${row.label}, ${row.value}`), "list", dot);
    }
    case "colour":
      return linkRow(row, named(`${row.label}, ${row.value}`), "colour", swatch(cssOf(row.reads)));
    case "text": {
      const input = el("input", {
        type: "text",
        "data-key": key,
        id: controlId("control", key),
        "aria-label": named(row.label),
        onchange: (e) => setRow(row.key, e.target.value),
      });
      input.value = row.value;
      return el("label", { class: "row", "data-row": key }, el("span", { class: "label" }, row.label), input);
    }
    case "button":
      return el(
        "button",
        {
          type: "button",
          class: "row button",
          "data-button": row.label,
          id: controlId("button", row.label),
          "aria-label": named(row.label),
          onclick: () => tapButton(row.label),
        },
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
  if (settings.notice && !dismissed.has(settings.notice)) {
    const notice = el("div", { class: "notice", role: "note" }, el("p", {}, settings.notice));
    notice.append(
      dismissButton(notice, "this notice", () => {
        dismissed.add(settings.notice);
        notice.remove();
      })
    );
    nodes.push(notice);
  }
  for (const group of settings.groups) {
    if (group.header) nodes.push(el("h3", { class: "group-header" }, group.header));
    else nodes.push(el("div", { class: "group-header", "aria-hidden": "true" }));
    nodes.push(el("div", { class: "rows", role: "group", "aria-label": group.header || null }, group.rows.map((r) => rowNode(r, group.header))));
    if (group.footer) nodes.push(el("p", { class: "group-footer" }, group.footer));
  }
  const scroll = pane.scrollTop;
  keepFocus(pane, () => pane.replaceChildren(...nodes));
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
  keepNavbarInView();
}

// On a narrow window the magnified bar stays at the top while the page scrolls: the pane's
// navigation bar (its back button and title) is brought below it, never left under it.
function keepNavbarInView() {
  const magnifier = document.querySelector(".magnifier");
  const navbar = document.querySelector(".settings .navbar");
  if (!magnifier || !navbar || getComputedStyle(magnifier).position !== "sticky") return;
  const covered = magnifier.getBoundingClientRect().bottom + 8;
  const top = navbar.getBoundingClientRect().top;
  if (top < covered || top > window.innerHeight) window.scrollBy(0, top - covered);
}

function closeSubpage() {
  const key = subpage ? subpage.key : null;
  subpage = null;
  picker = null;
  renderSubpage();
  // Back where the user left: on the row that opened the page.
  const row = key ? document.getElementById(controlId("control", key)) : null;
  if (row) row.focus();
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
    delete sub.dataset.open;
    return;
  }
  const opening = sub.dataset.open !== `${subpage.kind}:${subpage.key}`;
  sub.dataset.open = `${subpage.kind}:${subpage.key}`;
  if (subpage.kind === "list") renderChoices(row);
  else renderPicker(row);
  if (opening) {
    // The keyboard follows into the page: on the chosen entry, or the first control.
    const first = sub.querySelector("[aria-pressed='true']") || sub.querySelector("button, input");
    if (first) first.focus({ preventScroll: true });
  }
}

// Up and down (Home and End) move through a list's entries, as in the Settings app.
function listKeys(e) {
  const items = [...e.currentTarget.querySelectorAll("[data-choice]")];
  const at = items.indexOf(document.activeElement);
  const to = { ArrowDown: at + 1, ArrowUp: at - 1, Home: 0, End: items.length - 1 }[e.key];
  if (to === undefined || !items.length) return;
  e.preventDefault();
  items[Math.max(0, Math.min(items.length - 1, to))].focus();
}

function renderChoices(row) {
  const group = row.group || row.label;
  const buttons = (row.choices || []).map((choice, index) =>
    el(
      "button",
      {
        type: "button",
        class: "row",
        id: controlId("choice", index),
        "data-choice": choice.title,
        "aria-label": `${group}: ${choice.title}`,
        "aria-pressed": choice.title === row.value ? "true" : "false",
        onclick: () => setRow(row.key, choice.value),
        ...pointHandlers(row.key),
      },
      choice.swatch ? swatch(choice.swatch) : null,
      el("span", { class: "label" }, choice.title),
      choice.title === row.value ? el("span", { class: "check", "aria-hidden": "true" }, "✓") : null
    )
  );
  const sub = $("subpane");
  delete sub.dataset.picker;
  keepFocus(sub, () =>
    sub.replaceChildren(
      el("div", { class: "group-header", id: "choices-title" }, group),
      el("div", { class: "rows", role: "group", "aria-labelledby": "choices-title", onkeydown: listKeys }, buttons)
    )
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
    const key = picker.key;
    const answer = await setRow(key, text);
    // The picker may have been closed, or opened on another row, while the write was on its way.
    if (answer && picker && picker.key === key) picker.stored = answer.value;
    if (writeDue) writeTimer = setTimeout(flush, WRITE_INTERVAL);
  };
  writeTimer = setTimeout(flush, WRITE_INTERVAL);
}

function renderPicker(row) {
  // The picker keeps its own hue and saturation while it is open (a grey has no hue); a change of
  // the stored value from elsewhere replaces them. News of its own earlier writes, which may
  // arrive while it is still being dragged, does not.
  const ownWrite = picker && picker.key === row.key && (row.value === picker.stored || picker.sent.has(row.value));
  if (!ownWrite) {
    const start = rgbaOf(row.reads);
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
      id: controlId("picker", name),
      "aria-label": `${row.group || row.label}: ${label}`,
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
    maxlength: "24",
    spellcheck: "false",
    autocomplete: "off",
    "aria-label": `${row.group || row.label}: Hex colour`,
    // What is typed goes to the colour cell as it is, as vyr prefs set sends it: the cell decides
    // what it takes and stores, and the picker shows what the library reads from that.
    onchange: async (e) => {
      const typed = e.target.value.trim();
      const key = picker.key;
      picker.sent.add(typed);
      const answer = await setRow(key, typed);
      if (!answer) {
        e.target.setAttribute("aria-invalid", "true");
        return;
      }
      e.target.removeAttribute("aria-invalid");
      if (picker && picker.key === key) {
        const start = rgbaOf(answer.reads);
        const hsb = rgbToHsb(start);
        Object.assign(picker, { h: hsb.h, s: hsb.s, b: hsb.b, a: start.a, stored: answer.value });
        picker.sent.add(answer.value);
        updatePicker(null, true);
      }
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

// ---- what a row colours, and the magnified status bar -----------------------------------------

// The magnifier shows each half of a status bar at least this many times larger than the phone.
const MAGNIFICATION = 4.2;

function point(target) {
  pointed = target;
  if (target && layout) {
    const element = layout.elements.find((e) => e.name === target.element);
    const screens = element ? new Set(element.regions.map((r) => r.screen)) : new Set();
    const wanted = target.screen || (screens.has(magnified) ? magnified : [...screens][0]);
    if (wanted && wanted !== magnified && (wanted === "home" || wanted === "lock")) {
      magnified = wanted;
      renderMagnifier();
      return;
    }
  }
  renderHighlights();
}

// Boxes over FRAME (drawn at SCALE pixels a point, its top-left at canvas point ORIGIN) around
// the pointed element's regions, and its key beside the first.
function highlightIn(frame, origin, scale, clip) {
  frame.querySelectorAll(".highlight, .highlight-key").forEach((n) => n.remove());
  if (!pointed || !layout) return;
  const element = layout.elements.find((e) => e.name === pointed.element);
  if (!element) return;
  let first = true;
  for (const r of element.regions) {
    if (clip && (r.x + r.width <= clip.x || r.x >= clip.x + clip.width || r.y + r.height <= clip.y || r.y >= clip.y + clip.height)) continue;
    const box = el("div", { class: "highlight", "aria-hidden": "true" });
    Object.assign(box.style, {
      left: `${(r.x - origin.x) * scale - 3}px`,
      top: `${(r.y - origin.y) * scale - 3}px`,
      width: `${r.width * scale + 6}px`,
      height: `${r.height * scale + 6}px`,
    });
    frame.append(box);
    if (first) {
      const label = el("span", { class: "highlight-key" }, pointed.key);
      label.style.left = `${Math.max(0, (r.x - origin.x) * scale)}px`;
      label.style.top = `${(r.y + r.height - origin.y) * scale + 4}px`;
      frame.append(label);
      first = false;
    }
  }
}

function renderHighlights() {
  const image = $("screens").querySelector("img");
  const frame = $("highlights");
  if (image && layout) {
    const phone = $("screens").getBoundingClientRect();
    const box = image.getBoundingClientRect();
    frame.style.left = `${box.left - phone.left}px`;
    frame.style.top = `${box.top - phone.top}px`;
    highlightIn(frame, { x: 0, y: 0 }, box.width / layout.canvas.width);
  } else {
    frame.replaceChildren();
  }
  for (const half of $("magnifier-bars").querySelectorAll(".half")) {
    const region = JSON.parse(half.dataset.region);
    highlightIn(half, region, Number(half.dataset.scale), region);
  }
  $("pointed").textContent = pointed ? `${pointed.key} colours the ${pointed.element} element` : "";
}

// The status bar of the magnified screen in two halves, each a view of the phone's own picture.
// The parts BAR is cut into for the magnifier, [{x, width}], with no item (the time, the padlock)
// cut in half: two, cut as near the middle as can be at the edge of the item that spans it; three
// (the item that spans the middle on its own) when two that wide could not be magnified
// MIN_MAGNIFICATION times in ROOM pixels at PHONE_SCALE.
const MIN_MAGNIFICATION = 4;
function barParts(bar, room, phoneScale) {
  const middle = bar.x + bar.width / 2;
  const end = bar.x + bar.width;
  const spans = [];
  for (const element of layout.elements) {
    for (const r of element.regions) {
      if (r.screen !== magnified || r.y >= bar.y + bar.height || r.y + r.height <= bar.y) continue;
      spans.push([r.x - 1, r.x + r.width + 1]);
    }
  }
  const inside = (x) => spans.some(([from, to]) => x > from && x < to);
  const cutAt = (...xs) => {
    const edges = [bar.x, ...xs, end];
    return edges.slice(1).map((x, i) => ({ x: edges[i], width: x - edges[i] }));
  };
  if (!inside(middle)) return cutAt(middle);
  const edges = spans.flat().filter((x) => x > bar.x && x < end && !inside(x));
  edges.sort((a, b) => Math.abs(a - middle) - Math.abs(b - middle));
  if (!edges.length) return cutAt(middle);
  const two = cutAt(edges[0]);
  const widest = Math.max(...two.map((p) => p.width));
  if (!room || room / widest / phoneScale >= MIN_MAGNIFICATION) return two;
  // The run of items around the middle, kept whole in a part of its own.
  let [from, to] = [middle, middle];
  for (let grown = true; grown; ) {
    grown = false;
    for (const [a, b] of spans) {
      if (a < to && b > from && (a < from || b > to)) {
        [from, to] = [Math.min(from, a), Math.max(to, b)];
        grown = true;
      }
    }
  }
  return from > bar.x && to < end ? cutAt(from, to) : two;
}

function renderMagnifier() {
  const image = $("screens").querySelector("img");
  const bars = $("magnifier-bars");
  for (const b of document.querySelectorAll("#magnifier [data-screen]")) {
    b.setAttribute("aria-pressed", b.dataset.screen === magnified ? "true" : "false");
  }
  if (!image || !picture || !layout) {
    bars.replaceChildren();
    renderHighlights();
    return;
  }
  const phoneScale = image.getBoundingClientRect().width / layout.canvas.width;
  const bar = layout.bar[magnified];
  const parts = barParts(bar, bars.clientWidth, phoneScale);
  const widest = Math.max(...parts.map((p) => p.width));
  const room = bars.clientWidth || widest * MAGNIFICATION * phoneScale;
  const scale = Math.min(MAGNIFICATION * phoneScale, room / widest);
  bars.replaceChildren(
    ...parts.map((part) => {
      const region = { x: part.x, y: bar.y, width: part.width, height: bar.height };
      const node = el("div", { class: "half", "data-region": JSON.stringify(region), "data-scale": String(scale) });
      node.style.width = `${region.width * scale}px`;
      node.style.height = `${region.height * scale}px`;
      // The phone's own image, larger, seen through the part's window: drawn anew at that size,
      // so the magnified bar is as sharp as the picture's vectors.
      const view = el("img", { src: picture, alt: "", "aria-hidden": "true" });
      view.style.width = `${layout.canvas.width * scale}px`;
      view.style.height = `${layout.canvas.height * scale}px`;
      view.style.left = `${-region.x * scale}px`;
      view.style.top = `${-region.y * scale}px`;
      node.append(view);
      return node;
    })
  );
  bars.dataset.magnification = (scale / phoneScale).toFixed(2);
  renderHighlights();
}

// ---- the settings as a profile ----------------------------------------------------------------

async function downloadProfile() {
  let response;
  try {
    response = await fetch("api/profile");
  } catch (e) {
    say("The studio cannot be reached: is vyr studio still running?", true);
    return;
  }
  if (!response.ok) {
    let answer = {};
    try {
      answer = await response.json();
    } catch (e) {
      answer = {};
    }
    say(answer.error || `The studio cannot give the profile (HTTP ${response.status}).`, true);
    return;
  }
  const url = URL.createObjectURL(await response.blob());
  const link = el("a", { href: url, download: "VYR.plist", hidden: true });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
  say("The settings were saved as VYR.plist: vyr import VYR.plist takes them back.");
}

// ---- previewing a profile --------------------------------------------------------------------

// The object URL of the preview's picture while the preview is open.
let previewPicture = null;

// Sends FILE's bytes to the studio, which draws the phone as it would look with them (as
// `vyr show --profile` does, in a child of its own); the settings, their history and the running
// SpringBoard are left as they are.
async function previewProfile(file) {
  const input = $("preview-file");
  input.setAttribute("aria-busy", "true");
  say(`Drawing ${file.name} as the phone would show it…`);
  let answer;
  try {
    answer = await ask(
      `api/preview?name=${encodeURIComponent(file.name)}`,
      { headers: { "Content-Type": "application/x-plist" }, body: file },
      `The studio cannot preview ${file.name}`
    );
  } finally {
    input.removeAttribute("aria-busy");
    input.value = "";  // the same file may be chosen again, after an edit
  }
  if (answer) showPreview(answer);
}

function showPreview(answer) {
  const dialog = $("preview");
  $("preview-title").textContent = `Preview of ${answer.file}`;
  if (previewPicture) URL.revokeObjectURL(previewPicture);
  previewPicture = answer.svg ? URL.createObjectURL(new Blob([answer.svg], { type: "image/svg+xml" })) : null;
  $("preview-picture").replaceChildren(
    previewPicture
      ? el("img", { src: previewPicture, alt: `The home screen and the lock screen with ${answer.file}` })
      : el("p", { class: "notice" }, "No picture: vyr show drew none (its messages say why).")
  );
  const messages = (answer.messages || []).map((line) => el("li", {}, line));
  if (answer.status !== 0) {
    messages.push(el("li", { class: "error" }, `vyr show ended with status ${answer.status}.`));
  }
  $("preview-messages").replaceChildren(...messages);
  $("preview-table").textContent = answer.table || "";
  $("preview-apply").replaceChildren(
    "To put it on the device, run ",
    el("code", {}, answer.apply),
    " in a terminal (Undo takes an import back)."
  );
  if (!dialog.open) dialog.showModal();
  $("preview-close").focus();
}

function wirePreview() {
  const dialog = $("preview");
  $("preview-file").addEventListener("change", (e) => {
    const file = e.target.files && e.target.files[0];
    if (file) previewProfile(file);
  });
  $("preview-close").addEventListener("click", () => dialog.close());
  // Escape closes it too (the dialog's own cancel); the focus goes back to the file input.
  dialog.addEventListener("close", () => {
    if (previewPicture) URL.revokeObjectURL(previewPicture);
    previewPicture = null;
    $("preview-picture").replaceChildren();
    $("preview-file").focus();
  });
}

// ---- the device-state controls ----------------------------------------------------------------

// What the controls changed and the studio has not been sent yet, merged: the slider's moves go
// out at most every 80 ms, and a switch sent at once takes the slider's last move with it rather
// than cancelling it.
let deviceChange = {};
let deviceTimer = null;
function sendDevice(change, immediately) {
  Object.assign(deviceChange, change);
  clearTimeout(deviceTimer);
  const send = () => {
    const all = deviceChange;
    deviceChange = {};
    post("api/device", all);
  };
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
  $("download-profile").addEventListener("click", downloadProfile);
  wirePreview();
  // The history of changes is the device's, shared with vyr prefs undo in a terminal.
  $("undo-change").addEventListener("click", async () => {
    const answer = await post("api/undo", {});
    if (!answer) return;
    const more = answer.left ? ` (${answer.left} more to undo)` : "";
    say(`Undid ${answer.undid}${more}.`);
  });
  $("reset-settings").addEventListener("click", async () => {
    const answer = await post("api/reset", {});
    if (answer) say(`Every row has its default again (${answer.reset} rows); Undo puts them back.`);
  });
  for (const b of document.querySelectorAll("#magnifier [data-screen]")) {
    b.addEventListener("click", () => {
      magnified = b.dataset.screen;
      renderMagnifier();
    });
  }
  // Escape goes back from a sub-page, as the navigation bar's back button does.
  document.addEventListener("keydown", (e) => {
    if (e.key === "Escape" && subpage && !$("preview").open) {
      e.preventDefault();
      closeSubpage();
    }
  });
  let resizing = null;
  window.addEventListener("resize", () => {
    clearTimeout(resizing);
    resizing = setTimeout(renderMagnifier, 100);
  });
}

// ---- the stream of changes --------------------------------------------------------------------

function apply(topic, value) {
  if (value === null || value === undefined) return;
  state[topic] = value;
  if (topic === "settings") renderPane();
  else if (topic === "phone") renderPhone();
  else renderStatus();
}

// The id of the studio this page was served by (every answer carries it): a page whose stream
// broke goes back only to that same studio. A restarted studio has a new token and a new id, and
// whatever else may hold the port since has neither.
let studioId = null;
const kRestarted = "The studio was restarted: open it again from the terminal (vyr studio).";

// Whether the studio's stream may be opened again: null while nothing answers at the port.
async function sameStudio() {
  let response;
  try {
    response = await fetch("api/state", { cache: "no-store" });
  } catch (e) {
    return null;
  }
  return response.ok && studioId !== null && response.headers.get("X-VYR-Studio") === studioId;
}

function restarted() {
  const pill = $("connection");
  pill.dataset.state = "lost";
  pill.textContent = "studio restarted";
  say(kRestarted, true);
}

function connect() {
  const pill = $("connection");
  const events = new EventSource("api/events");
  events.addEventListener("open", () => {
    pill.dataset.state = "live";
    pill.textContent = "live";
  });
  events.addEventListener("error", () => {
    // Never the browser's own reconnection: it would go to the port whoever holds it now.
    events.close();
    pill.dataset.state = "connecting";
    pill.textContent = "reconnecting…";
    let told = false;
    const probe = async () => {
      const same = await sameStudio();
      if (same === true) {
        connect();
      } else if (same === false) {
        restarted();
      } else {
        if (!told) {
          told = true;
          pill.dataset.state = "lost";
          pill.textContent = "studio not reachable";
          say("The connection to the studio was lost: is vyr studio still running? The page shows the last state it received.", true);
        }
        setTimeout(probe, 2000);
      }
    };
    setTimeout(probe, 500);
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

document.addEventListener("DOMContentLoaded", async () => {
  wireControls();
  try {
    const response = await fetch("api/layout");
    studioId = response.headers.get("X-VYR-Studio");
    if (response.ok) layout = await response.json();
  } catch (e) {
    layout = null;  // the page works without: no highlight, no magnifier
  }
  connect();
});
