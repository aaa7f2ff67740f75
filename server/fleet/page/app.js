// The fleet page: what the update server has heard from its workstations.
// Everything it shows comes from the server's JSON API under /api/. Texts in
// that data come from the workstations themselves (user ids, file names,
// failure reasons), so they only ever reach the page as text nodes.
"use strict";

(function () {
  const PAGE_SIZE = 100;
  const DAY = 86400;
  const HOUR = 3600;
  const PLOT_DAYS = 30;
  const STATUS_LABELS = {
    up_to_date: "up to date",
    outstanding: "outstanding",
    failing: "failing",
    silent: "silent",
  };
  const VIEW_TITLES = {
    overview: "Overview",
    workstations: "Workstations",
    workstation: "Workstation",
    drift: "Drift",
    foreign: "Foreign files",
    failures: "Failures",
  };

  // What the person chose; it outlives a change of view, not a reload.
  const state = {
    suite: "",
    list: { status: "", q: "", sort: "last_seen", order: "desc", offset: 0 },
    failureDays: 30,
  };

  const content = document.getElementById("content");
  const errorBox = document.getElementById("error");
  const suiteSelect = document.getElementById("suite");

  // ---- building the page ------------------------------------------------

  // el("td", {class: "num", dataset: {field: "files"}}, "8"): an element
  // whose string children become text nodes, never markup.
  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    setAttributes(node, attrs);
    append(node, children);
    return node;
  }

  const SVG_NS = "http://www.w3.org/2000/svg";

  function svgEl(tag, attrs, ...children) {
    const node = document.createElementNS(SVG_NS, tag);
    setAttributes(node, attrs);
    append(node, children);
    return node;
  }

  function setAttributes(node, attrs) {
    for (const [name, value] of Object.entries(attrs || {})) {
      if (value === null || value === undefined || value === false) continue;
      if (name === "dataset") {
        for (const [key, v] of Object.entries(value)) node.dataset[key] = String(v);
      } else if (name.startsWith("on")) {
        node.addEventListener(name.slice(2), value);
      } else {
        node.setAttribute(name, value === true ? "" : String(value));
      }
    }
  }

  function append(node, children) {
    for (const child of children.flat(Infinity)) {
      if (child === null || child === undefined || child === false) continue;
      node.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
  }

  function pad(n) {
    return String(n).padStart(2, "0");
  }

  // Unix seconds as the browser's local "YYYY-MM-DD HH:MM".
  function formatTime(seconds) {
    if (seconds === null || seconds === undefined) return "–";
    const d = new Date(seconds * 1000);
    return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${pad(d.getHours())}:${pad(d.getMinutes())}`;
  }

  function formatDay(seconds) {
    return formatTime(seconds).slice(0, 10);
  }

  function timeCell(seconds) {
    if (seconds === null || seconds === undefined) return "–";
    return el("time", { datetime: new Date(seconds * 1000).toISOString() }, formatTime(seconds));
  }

  function count(value) {
    return value === null || value === undefined ? "–" : String(value);
  }

  function statusBadge(status) {
    const known = Object.prototype.hasOwnProperty.call(STATUS_LABELS, status);
    return el("span", { class: known ? `badge status-${status}` : "badge" },
      known ? STATUS_LABELS[status] : String(status));
  }

  function resultText(result, reason) {
    if (result === null || result === undefined) return "–";
    return reason ? `${result}: ${reason}` : String(result);
  }

  function workstationHash(id) {
    return "#workstation/" + encodeURIComponent(id);
  }

  // A table of rows. columns: {key, label, num, render(row)}; every cell
  // carries data-field=key so the cells can be found by what they hold.
  function dataTable(id, columns, rows, emptyText, rowAttrs) {
    const head = el("tr", null, columns.map(c => el("th", { class: c.num ? "num" : null, scope: "col" }, c.label)));
    const body = el("tbody");
    for (const row of rows) {
      body.append(el("tr", rowAttrs ? rowAttrs(row) : null, columns.map(c =>
        el("td", { class: c.num ? "num" : null, dataset: { field: c.key } },
          c.render ? c.render(row) : count(row[c.key])))));
    }
    if (rows.length === 0) {
      body.append(el("tr", { class: "empty" }, el("td", { colspan: columns.length }, emptyText)));
    }
    return el("table", { id, class: "data" }, el("thead", null, head), body);
  }

  // ---- talking to the server --------------------------------------------

  class ApiError extends Error {}

  // path?name=value for the parameters that have a value.
  function apiUrl(path, params) {
    const query = new URLSearchParams();
    for (const [name, value] of Object.entries(params || {})) {
      if (value !== "" && value !== null && value !== undefined) query.set(name, String(value));
    }
    const text = query.toString();
    return text ? `${path}?${text}` : path;
  }

  async function getJson(path, params) {
    const url = apiUrl(path, params);
    let response;
    try {
      response = await fetch(url, { headers: { Accept: "application/json" } });
    } catch (e) {
      throw new ApiError(`The server could not be reached (${url}): ${e.message}`);
    }
    const text = await response.text();
    let body = null;
    try {
      body = JSON.parse(text);
    } catch (e) {
      body = null;
    }
    if (!response.ok) {
      const detail = body && typeof body.error === "string" ? body.error : text.slice(0, 300);
      const status = `${response.status}${response.statusText ? " " + response.statusText : ""}`;
      throw new ApiError(`The server answered ${status} for ${url}${detail ? ": " + detail : ""}`);
    }
    if (body === null || typeof body !== "object") {
      throw new ApiError(`The server's answer for ${url} is not JSON.`);
    }
    return body;
  }

  function showError(message) {
    errorBox.textContent = message;
    errorBox.hidden = false;
  }

  function hideError() {
    errorBox.hidden = true;
    errorBox.textContent = "";
  }

  // Every load bumps the generation; an answer that arrives after a newer
  // load started (the person moved on or typed further) is dropped.
  let generation = 0;

  // Fetches the requests, then puts render(...answers) into target. The
  // page's data-state says loading / ready / error.
  async function load(target, requests, render) {
    const token = ++generation;
    content.dataset.state = "loading";
    try {
      const answers = await Promise.all(requests.map(([path, params]) => getJson(path, params)));
      if (token !== generation) return;
      hideError();
      target.replaceChildren(render(...answers));
      content.dataset.state = "ready";
    } catch (e) {
      if (token !== generation) return;
      target.replaceChildren();
      showError(e instanceof ApiError ? e.message : `The page failed: ${e.message}`);
      content.dataset.state = "error";
    }
  }

  function suiteParams(extra) {
    return Object.assign({ suite: state.suite }, extra || {});
  }

  // The browser's offset from UTC in seconds, east positive: the server
  // cuts days at the local midnight with it.
  function utcOffset() {
    return -new Date().getTimezoneOffset() * 60;
  }

  function csvLink(path, params, name) {
    const file = `${name}${state.suite ? "-" + state.suite : ""}`.replace(/[^A-Za-z0-9_-]/g, "_");
    return el("a", { class: "csv", href: apiUrl(path, Object.assign({}, params, { format: "csv" })), download: `${file}.csv` }, "CSV");
  }

  function heading(text, ...extra) {
    return el("div", { class: "heading" }, el("h1", null, text), extra);
  }

  // ---- the suite selector -----------------------------------------------

  function fillSuites(suites) {
    const names = suites.map(s => s.suite);
    if (state.suite && !names.includes(state.suite)) names.push(state.suite);
    suiteSelect.replaceChildren(el("option", { value: "" }, "all suites"),
      ...names.map(name => el("option", { value: name }, name)));
    suiteSelect.value = state.suite;
  }

  async function loadSuites() {
    try {
      fillSuites((await getJson("/api/overview", { offset: utcOffset() })).suites || []);
    } catch (e) {
      showError(e.message);
    }
  }

  suiteSelect.addEventListener("change", () => {
    state.suite = suiteSelect.value;
    state.list.offset = 0;
    show();
  });

  // ---- overview ---------------------------------------------------------

  const COUNT_FIELDS = [
    ["workstations", "Workstations", ""],
    ["up_to_date", "Up to date", "up_to_date"],
    ["outstanding", "Outstanding", "outstanding"],
    ["failing", "Failing", "failing"],
    ["silent", "Silent", "silent"],
  ];

  // A count that opens the workstations list filtered to it.
  function countLink(suite, status, value) {
    return el("a", {
      href: "#workstations",
      onclick: () => {
        state.suite = suite;
        suiteSelect.value = suite;
        state.list.status = status;
        state.list.q = "";
        state.list.offset = 0;
      },
    }, count(value));
  }

  function suitesTable(data) {
    const head = el("tr", null, el("th", { scope: "col" }, "Suite"),
      COUNT_FIELDS.map(([, label, status]) =>
        el("th", { scope: "col", class: status ? `num status-head status-${status}` : "num" }, label)));
    const row = (suite, label, counts, attrs) => el("tr", attrs,
      el("th", { scope: "row" }, label),
      COUNT_FIELDS.map(([field, , status]) => el("td", { class: "num", dataset: { field } },
        countLink(suite, status, counts ? counts[field] : null))));
    const suites = data.suites || [];
    const body = el("tbody", null, suites.map(s => row(s.suite, s.suite, s, { dataset: { suite: s.suite } })));
    if (suites.length === 0) body.append(el("tr", { class: "empty" }, el("td", { colspan: 6 }, "No workstation has reported yet.")));
    const foot = el("tfoot", null, row(state.suite, "Total", data.totals, { dataset: { suite: "" }, class: "totals" }));
    return el("table", { id: "table-suites", class: "data counts" }, el("thead", null, head), body, foot);
  }

  function renderOverview(data) {
    if (!state.suite) fillSuites(data.suites || []);
    const recording = data.recording || {};
    const counter = (name, label) => el("span", { class: "counter" }, `${label} `,
      el("strong", { id: `recording-${name}`, class: name === "dropped" && recording[name] > 0 ? "bad" : null }, count(recording[name])));
    return el("div", null,
      heading("Overview", el("span", { class: "note" }, `as of ${formatTime(data.now)}`)),
      suitesTable(data),
      el("p", { class: "note" }, `Silent: no report for more than ${count(data.silent_days)} days. `,
        "Failing: the last conversation failed. Outstanding: the last verdict had files to update, data sources to add or deletions."),
      el("div", { class: "plots" },
        el("figure", null, el("figcaption", null, "Sessions per hour, last 30 days ",
          el("span", { class: "key ok" }, "completed"), " ", el("span", { class: "key failed" }, "failed")),
          sessionsPlot(data.sessions_per_hour || [], data.now)),
        el("figure", null, el("figcaption", null, "Workstations up to date, share per day, last 30 days"),
          sharePlot(data.up_to_date_share || [], data.now))),
      el("p", { class: "recording" }, "Recording: ",
        counter("written", "written"), " · ", counter("dropped", "dropped"), " · ", counter("queued", "queued")));
  }

  // ---- plots ------------------------------------------------------------

  const PLOT = { width: 1000, height: 220, left: 52, right: 14, top: 12, bottom: 30 };

  // 1, 2 or 5 times a power of ten, at least value (and at least 1).
  function niceCeiling(value) {
    if (!(value > 1)) return 1;
    const power = Math.pow(10, Math.floor(Math.log10(value)));
    for (const step of [1, 2, 5, 10]) {
      if (step * power >= value) return step * power;
    }
    return 10 * power;
  }

  // The 30 days up to the end of the current hour on the server's clock.
  function plotWindow(now) {
    const end = (Math.floor((now || Date.now() / 1000) / HOUR) + 1) * HOUR;
    return { start: end - PLOT_DAYS * DAY, end };
  }

  // An empty plot: frame, horizontal grid with labels, local-date ticks.
  function plotFrame(id, window, yTicks) {
    const { width, height, left, right, top, bottom } = PLOT;
    const x = t => left + (t - window.start) / (window.end - window.start) * (width - left - right);
    const y = fraction => height - bottom - fraction * (height - top - bottom);
    const root = svgEl("svg", { id, class: "plot", viewBox: `0 0 ${width} ${height}`, role: "img" });
    for (const [fraction, label] of yTicks) {
      root.append(svgEl("line", { class: "grid", x1: left, x2: width - right, y1: y(fraction), y2: y(fraction) }),
        svgEl("text", { class: "label", x: left - 6, y: y(fraction) + 4, "text-anchor": "end" }, label));
    }
    // A tick at every fifth local midnight.
    const day = new Date(window.start * 1000);
    day.setHours(0, 0, 0, 0);
    for (let i = 0; ; i++) {
      const t = day.getTime() / 1000;
      if (t > window.end) break;
      if (t >= window.start && i % 5 === 0) {
        root.append(svgEl("line", { class: "tick", x1: x(t), x2: x(t), y1: height - bottom, y2: height - bottom + 5 }),
          svgEl("text", { class: "label", x: x(t), y: height - bottom + 18, "text-anchor": "middle" }, formatDay(t).slice(5)));
      }
      day.setDate(day.getDate() + 1);
    }
    root.append(svgEl("line", { class: "axis", x1: left, x2: width - right, y1: y(0), y2: y(0) }));
    return { root, x, y };
  }

  function noData(root, text) {
    root.append(svgEl("text", { class: "nodata", x: PLOT.width / 2, y: PLOT.height / 2, "text-anchor": "middle" }, text));
  }

  // One bar per hour that had sessions, its failed sessions in red at the foot.
  function sessionsPlot(rows, now) {
    const window = plotWindow(now);
    const shown = rows.filter(r => r.hour >= window.start && r.hour < window.end);
    const top = niceCeiling(Math.max(0, ...shown.map(r => r.sessions || 0)));
    const { root, x, y } = plotFrame("plot-sessions", window,
      [[0, "0"], [0.5, String(top / 2)], [1, String(top)]]);
    const barWidth = Math.max(1, x(window.start + HOUR) - x(window.start) - 0.3);
    for (const r of shown) {
      const sessions = r.sessions || 0;
      const failed = Math.min(r.failed || 0, sessions);
      const bar = svgEl("g", { class: "bar" },
        svgEl("title", null, `${formatTime(r.hour)}: ${sessions} sessions, ${failed} failed`));
      bar.append(svgEl("rect", { class: "ok", x: x(r.hour), width: barWidth, y: y(sessions / top), height: y(failed / top) - y(sessions / top) }));
      if (failed > 0) {
        bar.append(svgEl("rect", { class: "failed", x: x(r.hour), width: barWidth, y: y(failed / top), height: y(0) - y(failed / top) }));
      }
      root.append(bar);
    }
    if (shown.length === 0) noData(root, "No sessions in the last 30 days.");
    root.setAttribute("data-count", String(shown.length));
    return root;
  }

  // One point per local day with reports, at the day's middle.
  function sharePlot(rows, now) {
    const window = plotWindow(now);
    const shown = rows.filter(r => r.day + DAY > window.start && r.day < window.end && r.workstations > 0);
    const { root, x, y } = plotFrame("plot-share", window,
      [[0, "0 %"], [0.25, "25 %"], [0.5, "50 %"], [0.75, "75 %"], [1, "100 %"]]);
    const points = shown.map(r => {
      const share = Math.min(1, Math.max(0, (r.up_to_date || 0) / r.workstations));
      const middle = Math.min(window.end, Math.max(window.start, r.day + DAY / 2));
      return { r, share, px: x(middle), py: y(share) };
    });
    if (points.length > 1) {
      root.append(svgEl("polyline", { class: "line", points: points.map(p => `${p.px},${p.py}`).join(" ") }));
    }
    for (const p of points) {
      root.append(svgEl("circle", { class: "point", cx: p.px, cy: p.py, r: 3.5 },
        svgEl("title", null, `${formatDay(p.r.day)}: ${p.r.up_to_date} of ${p.r.workstations} up to date (${Math.round(p.share * 100)} %)`)));
    }
    if (points.length === 0) noData(root, "No reports in the last 30 days.");
    root.setAttribute("data-count", String(points.length));
    return root;
  }

  // ---- workstations -----------------------------------------------------

  // Columns of the list; sort is the server's name for the column, and
  // columns of numbers and times sort largest first on the first click.
  const LIST_COLUMNS = [
    { key: "user", label: "User", sort: "user", render: r => el("a", { href: workstationHash(r.id), class: r.user ? null : "nouser" }, r.user || "(no user)") },
    { key: "suite", label: "Suite", sort: "suite" },
    { key: "peer", label: "Peer", sort: "peer" },
    { key: "status", label: "Status", sort: "status", render: r => statusBadge(r.status) },
    { key: "last_seen", label: "Last seen", sort: "last_seen", descending: true, render: r => timeCell(r.last_seen) },
    { key: "files", label: "Files", sort: "files", num: true, descending: true },
    { key: "update", label: "Update", sort: "update", num: true, descending: true },
    { key: "foreign", label: "Foreign", sort: "foreign", num: true, descending: true },
    { key: "new_sources", label: "Sources to add", sort: "new_sources", num: true, descending: true },
    { key: "delete", label: "Deletions", sort: "delete", num: true, descending: true },
    { key: "result", label: "Result / reason", sort: "result", render: r => resultText(r.result, r.reason) },
  ];

  function listParams() {
    const l = state.list;
    return suiteParams({ status: l.status, q: l.q, sort: l.sort, order: l.order });
  }

  function showWorkstations() {
    const results = el("div", { class: "results" });
    const refresh = () => load(results, [["/api/workstations",
      Object.assign(listParams(), { limit: PAGE_SIZE, offset: state.list.offset })]], renderList);
    const csv = csvLink("/api/workstations", listParams(), "workstations");
    const updateCsv = () => { csv.href = apiUrl("/api/workstations", Object.assign(listParams(), { format: "csv" })); };

    const status = el("select", { id: "filter-status" },
      el("option", { value: "" }, "all"),
      Object.entries(STATUS_LABELS).map(([value, label]) => el("option", { value }, label)));
    status.value = state.list.status;
    status.addEventListener("change", () => {
      state.list.status = status.value;
      state.list.offset = 0;
      updateCsv();
      refresh();
    });

    // Typing asks the server once the person pauses.
    const text = el("input", { id: "filter-text", type: "search", placeholder: "user or peer", value: state.list.q, autocomplete: "off" });
    let timer = null;
    text.addEventListener("input", () => {
      clearTimeout(timer);
      timer = setTimeout(() => {
        // Not once the person has moved to another view.
        if (!text.isConnected || text.value === state.list.q) return;
        state.list.q = text.value;
        state.list.offset = 0;
        updateCsv();
        refresh();
      }, 300);
    });

    function renderList(data) {
      const rows = data.rows || [];
      const total = data.total || 0;
      const head = el("tr", null, LIST_COLUMNS.map(c => {
        const sorted = state.list.sort === c.sort;
        const arrow = sorted ? (state.list.order === "asc" ? " ▲" : " ▼") : "";
        return el("th", {
          scope: "col",
          class: c.num ? "num sortable" : "sortable",
          "aria-sort": sorted ? (state.list.order === "asc" ? "ascending" : "descending") : null,
          dataset: { sort: c.sort },
        }, el("button", {
          type: "button",
          onclick: () => {
            if (sorted) {
              state.list.order = state.list.order === "asc" ? "desc" : "asc";
            } else {
              state.list.sort = c.sort;
              state.list.order = c.descending ? "desc" : "asc";
            }
            state.list.offset = 0;
            updateCsv();
            refresh();
          },
        }, c.label, el("span", { class: "arrow" }, arrow)));
      }));
      const body = el("tbody", null, rows.map(r => el("tr", {
        class: "link",
        dataset: { id: r.id },
        onclick: event => {
          if (!event.target.closest("a")) location.hash = workstationHash(r.id);
        },
      }, LIST_COLUMNS.map(c => el("td", { class: c.num ? "num" : null, dataset: { field: c.key } },
        c.render ? c.render(r) : count(r[c.key]))))));
      if (rows.length === 0) {
        body.append(el("tr", { class: "empty" }, el("td", { colspan: LIST_COLUMNS.length }, "No workstation matches.")));
      }
      const first = state.list.offset;
      const pager = el("div", { class: "pager" },
        el("button", {
          type: "button", id: "page-previous", disabled: first === 0,
          onclick: () => { state.list.offset = Math.max(0, first - PAGE_SIZE); refresh(); },
        }, "← previous"),
        el("span", { id: "page-range" }, total === 0 ? "none" : `${first + 1}–${first + rows.length} of ${total}`),
        el("button", {
          type: "button", id: "page-next", disabled: first + PAGE_SIZE >= total,
          onclick: () => { state.list.offset = first + PAGE_SIZE; refresh(); },
        }, "next →"));
      return el("div", null,
        el("table", { id: "table-workstations", class: "data" }, el("thead", null, head), body),
        pager);
    }

    content.replaceChildren(
      heading("Workstations", csv),
      el("div", { class: "filters" },
        el("label", null, "Status ", status),
        el("label", null, "User or peer ", text)),
      results);
    refresh();
  }

  // ---- one workstation --------------------------------------------------

  const HISTORY_COLUMNS = [
    { key: "time", label: "Time", render: s => timeCell(s.time) },
    { key: "peer", label: "Peer" },
    { key: "files", label: "Files", num: true },
    { key: "sources", label: "Sources", num: true },
    { key: "update", label: "Update", num: true },
    { key: "foreign", label: "Foreign", num: true },
    { key: "new_sources", label: "Sources to add", num: true },
    { key: "delete", label: "Deletions", num: true },
    { key: "result", label: "Result" },
    { key: "reason", label: "Reason", render: s => s.reason || "" },
    { key: "ms", label: "ms", num: true },
  ];

  const ITEM_LISTS = [
    ["update", "Files to update"],
    ["foreign", "Foreign files"],
    ["sources", "Data sources to add"],
    ["delete", "Deletions"],
  ];

  function itemText(item) {
    return typeof item === "string" ? item : JSON.stringify(item);
  }

  // The names one session's verdict held, shown under its row.
  function sessionItems(items) {
    return el("div", { class: "items" }, ITEM_LISTS.map(([key, label]) => {
      const list = items ? items[key] : null;
      return el("div", { class: "item-list", dataset: { list: key } },
        el("h4", null, `${label} (${Array.isArray(list) ? list.length : "–"})`),
        !Array.isArray(list) ? el("p", { class: "note" }, "not reported")
          : list.length === 0 ? el("p", { class: "note" }, "none")
            : el("ul", null, list.map(item => el("li", null, itemText(item)))));
    }));
  }

  function historyTable(sessions) {
    const head = el("tr", null, el("th", { class: "toggle" }),
      HISTORY_COLUMNS.map(c => el("th", { scope: "col", class: c.num ? "num" : null }, c.label)));
    const body = el("tbody");
    for (const s of sessions) {
      const failed = s.result && s.result !== "ok";
      const button = el("button", { type: "button", class: "expand", "aria-expanded": "false", title: "show the names" }, "▸");
      const details = el("tr", { class: "details", hidden: true },
        el("td", { colspan: HISTORY_COLUMNS.length + 1 }, sessionItems(s.items)));
      const row = el("tr", { class: failed ? "session link failed" : "session link", dataset: { session: s.id } },
        el("td", { class: "toggle" }, button),
        HISTORY_COLUMNS.map(c => el("td", { class: c.num ? "num" : null, dataset: { field: c.key } },
          c.render ? c.render(s) : count(s[c.key]))));
      row.addEventListener("click", () => {
        details.hidden = !details.hidden;
        button.textContent = details.hidden ? "▸" : "▾";
        button.setAttribute("aria-expanded", String(!details.hidden));
      });
      body.append(row, details);
    }
    if (sessions.length === 0) {
      body.append(el("tr", { class: "empty" }, el("td", { colspan: HISTORY_COLUMNS.length + 1 }, "No sessions.")));
    }
    return el("table", { id: "table-history", class: "data" }, el("thead", null, head), body);
  }

  const PATH_COLUMNS = [
    { key: "path", label: "Path", render: r => r.path },
    { key: "since", label: "Since", render: r => timeCell(r.since) },
  ];

  function renderWorkstation(data) {
    const w = data.workstation || {};
    const fact = (label, value) => [el("dt", null, label), el("dd", null, value)];
    return el("div", null,
      el("p", { class: "back" }, el("a", { href: "#workstations" }, "← all workstations")),
      heading(w.user || w.id || "(no user)", statusBadge(w.status)),
      el("dl", { class: "facts", id: "workstation-facts" },
        fact("Id", w.id), fact("Suite", w.suite), fact("User", w.user || "(none)"), fact("Peer", w.peer),
        fact("First seen", timeCell(w.first_seen)), fact("Last seen", timeCell(w.last_seen)),
        fact("Sessions", count(w.sessions)), fact("Last result", resultText(w.result, w.reason)),
        fact("Files", count(w.files)), fact("Data sources", count(w.sources)),
        fact("Files to update", count(w.update)), fact("Foreign files", count(w.foreign)),
        fact("Sources to add", count(w.new_sources)), fact("Deletions", count(w.delete))),
      el("div", { class: "columns" },
        el("section", null, el("h2", null, "Drifted files"),
          dataTable("table-ws-drift", PATH_COLUMNS, data.drift || [], "none")),
        el("section", null, el("h2", null, "Missing files"),
          dataTable("table-ws-missing", PATH_COLUMNS, data.missing || [], "none")),
        el("section", null, el("h2", null, "Foreign files"),
          dataTable("table-ws-foreign", PATH_COLUMNS, data.foreign || [], "none"))),
      el("h2", null, "History"),
      el("p", { class: "note" }, "Newest first; click a session to see the names of its verdict."),
      historyTable(data.sessions || []));
  }

  function showWorkstation(encoded) {
    let id;
    try {
      id = decodeURIComponent(encoded || "");
    } catch (e) {
      id = encoded;
    }
    const area = el("div");
    content.replaceChildren(area);
    load(area, [["/api/workstation", { id }]], renderWorkstation);
  }

  // ---- drift, foreign files, failures ---------------------------------

  const FILE_COLUMNS = [
    { key: "suite", label: "Suite", render: r => r.suite },
    { key: "path", label: "Path", render: r => r.path },
    { key: "workstations", label: "Workstations", num: true },
    { key: "since", label: "Since", render: r => timeCell(r.since) },
  ];

  function showFiles(path, title, tableId, note) {
    const area = el("div");
    content.replaceChildren(heading(title, csvLink(path, suiteParams(), tableId.replace("table-", ""))),
      el("p", { class: "note" }, note), area);
    load(area, [[path, suiteParams()]], data => dataTable(tableId, FILE_COLUMNS, data.rows || [], "None."));
  }

  const FAILURE_COLUMNS = [
    { key: "reason", label: "Reason", render: r => r.reason },
    { key: "sessions", label: "Sessions", num: true },
    { key: "workstations", label: "Workstations", num: true },
    { key: "last", label: "Last", render: r => timeCell(r.last) },
  ];

  function showFailures() {
    const area = el("div");
    const params = () => suiteParams({ days: state.failureDays });
    const csv = csvLink("/api/failures", params(), "failures");
    const days = el("select", { id: "failure-days" }, [1, 7, 30, 90].map(n => el("option", { value: n }, `${n} days`)));
    days.value = String(state.failureDays);
    const refresh = () => load(area, [["/api/failures", params()]],
      data => dataTable("table-failures", FAILURE_COLUMNS, data.rows || [], "No failed conversations."));
    days.addEventListener("change", () => {
      state.failureDays = Number(days.value);
      csv.href = apiUrl("/api/failures", Object.assign(params(), { format: "csv" }));
      refresh();
    });
    content.replaceChildren(heading("Failures", csv),
      el("div", { class: "filters" }, el("label", null, "Over the last ", days)), area);
    refresh();
  }

  // ---- routing ----------------------------------------------------------

  const VIEWS = {
    overview: () => {
      const area = el("div");
      content.replaceChildren(area);
      load(area, [["/api/overview", suiteParams({ offset: utcOffset() })]], renderOverview);
    },
    workstations: showWorkstations,
    workstation: showWorkstation,
    drift: () => showFiles("/api/drift", "Drift", "table-drift",
      "Release files installed with another checksum than the release's, by how many workstations have them so."),
    foreign: () => showFiles("/api/foreign", "Foreign files", "table-foreign",
      "Files on workstations that the release neither has, deletes nor keeps."),
    failures: showFailures,
  };

  // #view or #view/argument; no hash is the overview.
  function parseHash() {
    const hash = location.hash.replace(/^#/, "");
    const slash = hash.indexOf("/");
    return slash < 0 ? { view: hash || "overview", arg: null } : { view: hash.slice(0, slash), arg: hash.slice(slash + 1) };
  }

  function show() {
    const { view, arg } = parseHash();
    const active = view === "workstation" ? "workstations" : view;
    for (const link of document.querySelectorAll("#views a")) {
      if (link.dataset.view === active) link.setAttribute("aria-current", "page");
      else link.removeAttribute("aria-current");
    }
    hideError();
    if (!Object.prototype.hasOwnProperty.call(VIEWS, view)) {
      generation++;
      document.title = "UlmarUpdater fleet";
      content.replaceChildren(heading("No such view"), el("p", null, el("a", { href: "#overview" }, "Go to the overview")));
      content.dataset.state = "ready";
      return;
    }
    document.title = `${VIEW_TITLES[view]} — UlmarUpdater fleet`;
    VIEWS[view](arg);
  }

  window.addEventListener("hashchange", show);
  loadSuites();
  show();
})();
