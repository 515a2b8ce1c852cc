// The krvctl console: draws what the console's API reports. Every check, every request to the
// LAN and every verification happens in krvctl itself; this page only shows and asks. Text from
// controllers is always set as text, never as markup.
"use strict";

const $ = (id) => document.getElementById(id);

function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (value !== undefined && value !== null && value !== false) node.setAttribute(name, value);
  }
  for (const child of children) node.append(child ?? "");
  return node;
}

const state = {
  session: null,
  controllers: [],
  sort: { column: "ip", direction: 1 },
  filters: {},
  selected: null,
  drawn: "",
  lastEvent: 0,
  checkGeneration: 0,
  // The controller as the engineer last looked at it: a change goes out only on these values.
  basis: null,
};

async function api(method, path, body, extraHeaders = {}) {
  const headers = { ...extraHeaders };
  if (method !== "GET") {
    headers["X-Krvctl-Token"] = state.session.token;
    headers["Content-Type"] = "application/json";
  }
  const response = await fetch(path, {
    method, headers, body: body === undefined ? undefined : JSON.stringify(body),
  });
  let json = {};
  try { json = await response.json(); } catch (e) { json = { error: "no JSON in the answer" }; }
  return { status: response.status, json };
}

// --- the table ---

const dottedQuadKey = (text) =>
  /^\d+\.\d+\.\d+\.\d+$/.test(text) ? text.split(".").reduce((sum, part) => sum * 256 + Number(part), 0) : text;

const columns = [
  { id: "mac", label: "MAC", value: (c) => c.mac || "(none)" },
  { id: "ip", label: "IP", field: "ip", sortKey: dottedQuadKey },
  { id: "netmask", label: "Netmask", field: "netmask", sortKey: dottedQuadKey },
  { id: "gateway", label: "Gateway", field: "gateway", sortKey: dottedQuadKey },
  { id: "ipscheme", label: "Scheme", field: "ipscheme" },
  { id: "hostname", label: "Host name", field: "hostname" },
  { id: "ntpip", label: "Time server", field: "ntpip", sortKey: dottedQuadKey },
  { id: "sdkversion", label: "SDK", field: "sdkversion" },
  { id: "sdusage", label: "SD", field: "sdusage", sortKey: (text) => parseFloat(text) || 0 },
  { id: "ntpsync", label: "NTP", field: "ntpsync" },
  { id: "clock", label: "Clock offset", value: (c) => c.clockOffset ?? "",
    sortKey: (text, c) => c.clockOffsetSeconds ?? 0 },
  { id: "mark", label: "State", value: (c) => (c.mark === "steady" ? "" : c.mark) },
];

const cellText = (column, controller) =>
  column.value ? column.value(controller) : (controller.status[column.field] ?? "");

function buildHeadings() {
  for (const column of columns) {
    const heading = el("th", { scope: "col", "data-column": column.id }, column.label);
    heading.addEventListener("click", () => {
      state.sort = { column: column.id, direction: state.sort.column === column.id ? -state.sort.direction : 1 };
      drawTable();
    });
    $("headings").append(heading);
    const filter = el("input", { type: "search", "aria-label": "Filter " + column.label, "data-column": column.id });
    filter.addEventListener("input", () => { state.filters[column.id] = filter.value.trim().toLowerCase(); drawTable(); });
    $("filters").append(el("th", {}, filter));
  }
}

function visibleControllers() {
  const shown = state.controllers.filter((controller) =>
    columns.every((column) => {
      const wanted = state.filters[column.id];
      return !wanted || cellText(column, controller).toLowerCase().includes(wanted);
    }));
  const column = columns.find((c) => c.id === state.sort.column);
  const key = (controller) => {
    const text = cellText(column, controller);
    return column.sortKey ? column.sortKey(text, controller) : text.toLowerCase();
  };
  return shown.sort((a, b) => {
    const [x, y] = [key(a), key(b)];
    if (typeof x !== typeof y) return typeof x === "number" ? -state.sort.direction : state.sort.direction;
    return (x < y ? -1 : x > y ? 1 : 0) * state.sort.direction;
  });
}

function drawTable() {
  for (const heading of $("headings").children) {
    const sorted = heading.dataset.column === state.sort.column;
    heading.setAttribute("aria-sort", sorted ? (state.sort.direction > 0 ? "ascending" : "descending") : "none");
  }
  const rows = visibleControllers().map((controller) => {
    const row = el("tr", { "data-key": controller.key, class: controller.mark });
    if (controller.key === state.selected) row.classList.add("selected");
    for (const column of columns) {
      const text = cellText(column, controller);
      const cell = el("td", { "data-column": column.id });
      if (column.id === "mark" && text) cell.append(el("span", { class: "badge " + text }, text));
      else cell.append(text);
      if (column.field && controller.changedKeys.includes(column.field)) cell.classList.add("changed");
      row.append(cell);
    }
    row.addEventListener("click", () => select(controller.key));
    return row;
  });
  $("rows").replaceChildren(...rows);
  $("empty").hidden = state.controllers.length > 0;
}

async function pollControllers() {
  try {
    const { json } = await api("GET", "/api/controllers");
    showControllers(json);
    $("trouble").hidden = true;
  } catch (e) {
    $("trouble").textContent = "The console does not answer: is krvctl web still running?";
    $("trouble").hidden = false;
  }
  setTimeout(pollControllers, 2000);
}

function showControllers(json) {
  // Redrawn only when something changed, so a row stays put under the engineer's pointer.
  const drawn = JSON.stringify(json.controllers);
  const changed = drawn !== state.drawn;
  state.drawn = drawn;
  state.controllers = json.controllers;
  const count = json.controllers.filter((c) => c.mark !== "vanished").length;
  // What the console let go of is said, so the table never passes for the whole LAN.
  const letGo = (json.evicted ?? 0) + (json.forgotten ?? 0) + (json.turnedAway ?? 0);
  $("round").textContent = `${count} controller${count === 1 ? "" : "s"} · discovery ${json.rounds}` +
    (json.discovering ? " · discovering…" : "") + (json.problem ? " · " + json.problem : "") +
    (json.dropped ? ` · ${json.dropped} replies dropped` : "") +
    (json.omitted ? ` · ${json.omitted} more known, not listed` : "") +
    (letGo ? ` · ${letGo} let go (table full at ${json.capacity}, or vanished long ago)` : "");
  if (!changed) return;
  drawTable();
  if (state.selected) drawDetail();
}

$("discover").addEventListener("click", async () => {
  $("discover").disabled = true;
  try {
    const { json } = await api("POST", "/api/discover");
    showControllers(json);
  } finally {
    $("discover").disabled = false;
  }
});

// --- one controller ---

const selectedController = () => state.controllers.find((c) => c.key === state.selected);

function select(key) {
  if (state.selected !== key) {
    state.selected = key;
    rebase();
    $("assign-result").replaceChildren();
    $("clear-result").replaceChildren();
    for (const input of $("assign-fields").querySelectorAll("input, select")) input.value = "";
    checkForm();
  }
  $("detail").hidden = false;
  $("fleet").hidden = true;
  drawTable();
  drawDetail();
}

const time = (ms) => new Date(ms).toLocaleTimeString([], { hour12: false }) + "." + String(ms % 1000).padStart(3, "0");

function drawDetail() {
  const controller = selectedController();
  if (!controller) return;
  $("detail-title").textContent = controller.mac || controller.key;
  $("detail-note").textContent = `from ${controller.from} · last answer ${time(controller.lastSeen)} · ` +
    `clock offset ${controller.clockOffset ?? "unknown"}` + (controller.mark === "vanished" ? " · vanished" : "");
  $("fields").replaceChildren(...Object.entries(controller.status).map(([key, value]) =>
    el("tr", {}, el("td", {}, key), el("td", {}, value))));
  for (const input of $("assign-fields").querySelectorAll("input")) {
    input.placeholder = controller.status[input.name] ?? "";
  }
  const usable = Boolean(controller.mac);
  $("query").disabled = !usable;
  $("clear").disabled = !usable;
  showStale(controller);
}

// --- values that changed under the engineer's eyes (another tab, another tool) ---

const volatileKeys = new Set(["seqid", "utcclock", "displaytime", "uptime", "loadavg"]);

function rebase() {
  const controller = selectedController();
  state.basis = controller ? { key: controller.key, revision: controller.revision, status: controller.status } : null;
  $("stale").hidden = true;
}

function showStale(controller, refused) {
  const basis = state.basis;
  if (!basis || basis.key !== controller.key || basis.revision === controller.revision) {
    $("stale").hidden = true;
    return;
  }
  const keys = new Set([...Object.keys(basis.status), ...Object.keys(controller.status)]);
  const changes = [...keys].filter((key) => !volatileKeys.has(key) && basis.status[key] !== controller.status[key])
    .map((key) => el("li", {}, `${key}: ${basis.status[key] ?? "(none)"} → ${controller.status[key] ?? "(none)"}`));
  $("stale-text").textContent = (refused ? "Not sent: " : "") +
    `${controller.mac} changed since you looked at it (another tab or tool). Check your values against these before you send:`;
  $("stale-changes").replaceChildren(...changes);
  $("stale").hidden = false;
  $("assign").disabled = true;
}

function ifMatch() {
  return state.basis ? { "If-Match": `"${state.basis.revision}"` } : {};
}

// The console refused a change on stale values: it answered with the controller as it is now.
function takeCurrent(json) {
  const index = state.controllers.findIndex((c) => c.key === json.current?.key);
  if (index >= 0) state.controllers[index] = json.current;
  drawTable();
  drawDetail();
  showStale(selectedController(), true);
  $("stale").scrollIntoView({ block: "nearest" });
}

$("stale-accept").addEventListener("click", () => {
  rebase();
  checkForm();
});

$("close").addEventListener("click", () => {
  state.selected = null;
  $("detail").hidden = true;
  drawTable();
});

$("query").addEventListener("click", async () => {
  const { status, json } = await api("POST", `/api/controllers/${selectedController().mac}/query`);
  if (status !== 200) {
    $("detail-note").textContent = json.error;
    return;
  }
  // What a query the engineer asked for shows is what the engineer now looks at.
  await pollControllersOnce();
  rebase();
});

async function pollControllersOnce() {
  const { json } = await api("GET", "/api/controllers");
  showControllers(json);
}

// --- ASSIGN: checked by krvctl as it is typed, sent only when nothing is wrong ---

function buildAssignForm() {
  for (const key of state.session.assignKeys) {
    let input;
    if (key === "ipscheme") {
      input = el("select", { name: key }, el("option", { value: "" }, "(unchanged)"),
        el("option", {}, "STATIC"), el("option", {}, "DHCP"));
    } else {
      input = el("input", { name: key, spellcheck: "false" });
    }
    input.addEventListener("input", checkForm);
    const extra = key === "utcclock" ? el("button", { type: "button", title: "This machine's clock when sent" }, "now") : "";
    if (extra) extra.addEventListener("click", () => { input.value = "now"; checkForm(); });
    $("assign-fields").append(el("label", {}, key, input, extra), el("p", { class: "problem", "data-for": key }));
  }
}

function formSettings() {
  const settings = {};
  for (const input of $("assign-fields").querySelectorAll("input, select")) {
    if (input.value !== "") settings[input.name] = input.value;
  }
  return settings;
}

let checkTimer = null;
function checkForm() {
  clearTimeout(checkTimer);
  $("assign").disabled = true;
  checkTimer = setTimeout(runCheck, 150);
}

async function runCheck() {
  const generation = ++state.checkGeneration;
  const settings = formSettings();
  const controller = selectedController();
  const showProblems = (problems, risks) => {
    for (const note of $("assign-fields").querySelectorAll("p.problem")) note.textContent = "";
    for (const input of $("assign-fields").querySelectorAll("input, select")) input.removeAttribute("aria-invalid");
    $("assign-problem").textContent = "";
    for (const { key, problem } of problems) {
      const note = $("assign-fields").querySelector(`p[data-for="${CSS.escape(key)}"]`);
      if (note) {
        note.textContent = problem;
        $("assign-fields").querySelector(`[name="${CSS.escape(key)}"]`).setAttribute("aria-invalid", "true");
      } else {
        $("assign-problem").textContent = problem;
      }
    }
    $("risks").replaceChildren(...risks.map((risk) => el("li", {}, risk)));
  };
  if (!controller || !controller.mac || Object.keys(settings).length === 0) {
    showProblems([], []);
    return;
  }
  const { status, json } = await api("POST", `/api/controllers/${controller.mac}/check`, settings);
  if (generation !== state.checkGeneration) return;
  if (status !== 200) {
    showProblems([{ key: "", problem: json.error }], []);
    return;
  }
  showProblems(json.problems, json.risks);
  $("assign").disabled = !json.ok || !$("stale").hidden;
}

$("assign-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  if ($("assign").disabled) return;
  const controller = selectedController();
  const settings = formSettings();
  $("assign").disabled = true;
  $("assign-result").replaceChildren(el("p", {}, `Sending… ${controller.mac} pauses ` +
    `${state.session.pauseSeconds} s after it accepts; then krvctl asks it what took effect.`));
  const { status, json } = await api("POST", `/api/controllers/${controller.mac}/assign`, settings, ifMatch());
  $("assign-result").replaceChildren(...reportNodes(status, json, Object.entries(json.settings ?? {})));
  $("assign-result").scrollIntoView({ block: "nearest" });
  if (status === 412) {
    takeCurrent(json);
    return;
  }
  if (status === 200) {
    for (const input of $("assign-fields").querySelectorAll("input, select")) input.value = "";
  }
  // The controller changed by this very request: that is no news to the engineer.
  await pollControllersOnce();
  rebase();
  checkForm();
});

function ackText(json) {
  if (json.accept === true) return `ACK: accepted (from ${json.from})`;
  if (json.accept === false) return `ACK: refused, accept=no (from ${json.from})`;
  return "no ACK";
}

function reportNodes(status, json, checks) {
  const nodes = [];
  if (json.accept !== undefined) nodes.push(el("p", { class: json.accept ? "ok" : "failed" }, ackText(json)));
  if (checks.length) {
    // Key by key: the verdict first, then what was asked for, what was there and what is now.
    nodes.push(el("table", {}, ...checks.map(([key, check]) => el("tr", { "data-setting": key },
      el("td", {}, key),
      el("td", {}, el("span", { class: check.result }, check.result + (check.note ? ` (${check.note})` : "")),
        el("br"), el("small", {}, `requested ${check.requested ?? ""} · before ${check.before ?? "-"} · ` +
          `now ${check.reported || "-"}`))))));
  }
  const verdict = status === 200 ? "done" : json.error || "failed";
  nodes.push(el("p", { class: status === 200 ? "ok" : "failed" },
    `${verdict} — HTTP ${status}` + (json.exit !== undefined ? `, exit status ${json.exit}` : "")));
  for (const risk of json.risks ?? []) nodes.push(el("p", { class: "problem" }, risk));
  return nodes;
}

// --- CLEAR ---

$("clear-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  const controller = selectedController();
  const setting = $("clear-setting").value;
  $("clear").disabled = true;
  $("clear-result").replaceChildren(el("p", {}, `Sending CLEAR ${setting}…`));
  const { status, json } = await api("POST", `/api/controllers/${controller.mac}/clear`, { setting }, ifMatch());
  const checks = json.result ? [[setting, { requested: "(none)", ...json }]] : [];
  $("clear-result").replaceChildren(...reportNodes(status, json, checks));
  $("clear-result").scrollIntoView({ block: "nearest" });
  $("clear").disabled = false;
  if (status === 412) {
    takeCurrent(json);
    return;
  }
  await pollControllersOnce();
  rebase();
});

// --- the event log ---

async function pollEvents() {
  try {
    const { json } = await api("GET", `/api/events?after=${state.lastEvent}`);
    const list = $("events");
    const atBottom = list.scrollTop + list.clientHeight >= list.scrollHeight - 4;
    for (const event of json.events) {
      state.lastEvent = event.seq;
      const arrow = { sent: "→", received: "←", refused: "✕", note: "·" }[event.kind];
      list.append(el("li", { class: event.kind },
        el("span", { class: "time" }, time(event.time)), " ", el("span", { class: "kind" }, `${arrow} ${event.kind}`),
        event.peer ? ` ${event.peer}  ` : "  ", event.text));
    }
    while (list.children.length > 500) list.firstChild.remove();
    if (atBottom) list.scrollTop = list.scrollHeight;
  } catch (e) {
    // pollControllers reports a console that stopped.
  }
  setTimeout(pollEvents, 1000);
}

// --- the fleet: a plan file opened, reviewed and applied by krvctl's own engine ---

function showPlan(answer) {
  state.plan = answer;
  // The plan in the command line's own words; its problems stand out.
  $("plan-text").replaceChildren(...answer.text.split("\n").filter((line) => line).map((line) =>
    el("span", { class: line.startsWith(answer.file + ":") && !line.includes(": warning: ")
      ? "problem-line" : undefined }, line + "\n")));
  $("force-label").hidden = !answer.onlyRisks;
  $("plan-actions").hidden = false;
  updateApplyButton();
}

function updateApplyButton() {
  const plan = state.plan;
  const blocked = !plan || (plan.blocked && !(plan.onlyRisks && $("force").checked));
  $("apply").disabled = blocked || !plan.pending || state.applying;
  $("apply").title = blocked ? "nothing can be sent while the plan has problems" : "";
}
$("force").addEventListener("change", updateApplyButton);

async function openPlanFile(file) {
  $("plan-text").textContent = `Reading ${file.name} and asking the LAN…`;
  $("plan-actions").hidden = true;
  const response = await fetch(`/api/plan?name=${encodeURIComponent(file.name)}`, {
    method: "POST",
    headers: { "X-Krvctl-Token": state.session.token, "Content-Type": "application/octet-stream" },
    body: await file.arrayBuffer(),
  });
  let json = {};
  try { json = await response.json(); } catch (e) { json = { error: "no JSON in the answer" }; }
  if (response.status !== 200) {
    $("plan-text").textContent = `${file.name}: ${json.error} (HTTP ${response.status})`;
    return;
  }
  showPlan(json);
}

$("plan-file").addEventListener("change", () => {
  if ($("plan-file").files.length) openPlanFile($("plan-file").files[0]);
});
for (const [name, over] of [["dragenter", true], ["dragover", true], ["dragleave", false], ["drop", false]]) {
  $("plan-drop").addEventListener(name, (event) => {
    event.preventDefault();
    $("plan-drop").classList.toggle("over", over);
    if (name === "drop" && event.dataTransfer.files.length) openPlanFile(event.dataTransfer.files[0]);
  });
}

function drawApply(progress) {
  state.applying = progress.phase === "checking" || progress.phase === "applying";
  $("stop").hidden = !state.applying;
  $("apply-line").textContent = progress.phase === "checking" ? "Asking the LAN once more…"
    : progress.phase === "idle" ? "" : progress.line + (progress.problem ? ` — ${progress.problem}` : "");
  $("apply-finished").replaceChildren(...progress.finished.map((line) => el("li", {}, line)));
  $("apply-report").textContent = progress.reportText ?? "";
  $("report-link").hidden = !progress.reportText;
  if (progress.plan) showPlan(progress.plan);
  updateApplyButton();
}

async function pollApply() {
  const { json } = await api("GET", "/api/plan/progress");
  drawApply(json);
  if (state.applying) setTimeout(pollApply, 500);
  else pollControllersOnce();
}

$("apply").addEventListener("click", async () => {
  const body = { id: state.plan.id, force: $("force").checked, parallel: Number($("parallel").value) };
  $("apply").disabled = true;
  const { status, json } = await api("POST", "/api/plan/apply", body);
  if (status !== 202) {
    $("apply-line").textContent = `${json.error} (HTTP ${status})`;
    updateApplyButton();
    return;
  }
  drawApply(json);
  pollApply();
});

$("stop").addEventListener("click", () => api("POST", "/api/plan/stop", {}));

$("fleet-open").addEventListener("click", () => {
  $("fleet").hidden = false;
  $("detail").hidden = true;
  api("GET", "/api/plan/progress").then(({ json }) => {
    drawApply(json);
    if (state.applying) pollApply();
  });
});
$("fleet-close").addEventListener("click", () => { $("fleet").hidden = true; });

// --- start ---

async function start() {
  const response = await fetch("/api/session");
  state.session = await response.json();
  const interfaces = state.session.interfaces || [];
  const searched = interfaces.length === 0 ? "the system's route"
    : (interfaces.length === 1 ? "interface " : "interfaces ") + interfaces.join(", ");
  const where = `${state.session.listen} · ${searched} · krvctl ${state.session.version}`;
  $("where").textContent = where;
  if (state.session.exposed) {
    $("exposed").textContent = `This console listens on ${state.session.listen}, not on loopback: ` +
      "anyone who can reach that address can change every controller on this LAN.";
    $("exposed").hidden = false;
  }
  buildHeadings();
  buildAssignForm();
  $("clear-setting").append(...state.session.clearKeys.map((key) => el("option", {}, key)));
  pollControllers();
  pollEvents();
}

start();
