// corvane dashboard.  The state arrives on /api/events (a snapshot, then the
// calls and link changes as they happen); /api/status is asked every few
// seconds for the figures that age (last answers, uptime).  Everything the
// gateway sends is put on the page as text, never as markup.
'use strict';

(function () {
  const DIRS = ['to_repeater', 'to_master'];
  const LINKS = ['repeater', 'master'];
  const DIR_TEXT = { to_repeater: 'Net → Rpt', to_master: 'Rpt → Net' };
  const DIR_LONG = { to_repeater: 'network → repeater', to_master: 'repeater → network' };
  const MODE_TEXT = { classic: 'Classic master', open_master: 'Open master', homebrew: 'HomeBrew master' };
  const MAX_ROWS = 50;
  const POLL_MS = 5000;
  const RETRY_MS = 3000;
  const HOUR = 3600e3;

  const st = {
    skew: 0,          // the gateway's clock minus ours, ms
    started: null,    // start time of the gateway run we show (ISO text)
    status: null,
    statusAt: 0,      // performance.now() when `status` came
    links: {},        // name -> {obj, at}
    air: {},          // "dir/slot" -> {call, base, at, shown}
    lastheard: [],
    hours: [],        // [{t (ms), to_repeater, to_master}], oldest first
    es: null,
    retry: 0,
    conn: '',
    site: 'corvane'
  };

  const $ = (sel, root) => (root || document).querySelector(sel);
  const mono = () => performance.now();
  const gwNow = () => Date.now() + st.skew;

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  }

  function setText(sel, text, root) {
    const e = $(sel, root);
    if (e) e.textContent = text === undefined || text === null ? '–' : String(text);
    return e;
  }

  function num(v) {
    return typeof v === 'number' && isFinite(v) ? v : null;
  }

  // ---- formatting ----------------------------------------------------------

  function time(iso) {
    const t = typeof iso === 'string' ? Date.parse(iso) : NaN;
    return isNaN(t) ? null : t;
  }

  function span(s) {
    s = Math.max(0, Math.floor(s));
    if (s < 60) return s + ' s';
    if (s < 3600) return Math.floor(s / 60) + ' min';
    if (s < 86400) return Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min';
    return Math.floor(s / 86400) + ' d ' + Math.floor((s % 86400) / 3600) + ' h';
  }

  function ago(s) {
    if (s < 1) return 'just now';
    if (s < 60) return Math.floor(s) + ' s ago';
    if (s < 3600) return Math.floor(s / 60) + ' min ago';
    if (s < 86400) return Math.floor(s / 3600) + ' h ago';
    return Math.floor(s / 86400) + ' d ago';
  }

  function exact(ms) {
    return new Date(ms).toLocaleString();
  }

  // The local time of day; the date too when it was not today.
  function localTime(ms) {
    const d = new Date(ms);
    if (d.toDateString() === new Date().toDateString()) return d.toLocaleTimeString();
    return d.toLocaleString([], { month: 'short', day: 'numeric', hour: '2-digit', minute: '2-digit' });
  }

  function clock(s) {
    s = Math.max(0, Math.floor(s));
    const m = Math.floor(s / 60), ss = String(s % 60).padStart(2, '0');
    if (m < 60) return m + ':' + ss;
    return Math.floor(m / 60) + ':' + String(m % 60).padStart(2, '0') + ':' + ss;
  }

  function duration(s) {
    return s < 60 ? s.toFixed(1) + ' s' : clock(s);
  }

  function pct(v) {
    if (v === 0) return '0 %';
    return (v < 1 ? v.toFixed(2) : v < 10 ? v.toFixed(1) : v.toFixed(0)) + ' %';
  }

  function quality(v) {
    return v < 1 ? 'good' : v < 5 ? 'fair' : 'poor';
  }

  function mhz(v) {
    v = num(v);
    if (v === null || v <= 0) return '–';
    return v.toFixed(4).replace(/0$/, '') + ' MHz';
  }

  function who(callsign, id) {
    return callsign ? String(callsign) : String(id);
  }

  function destination(c) {
    if (c.dst_kind === 'private') {
      const to = c.dst_callsign ? c.dst_callsign + (c.dst_name ? ' ' + c.dst_name : '') : String(c.dst);
      return 'Private to ' + to;
    }
    return 'TG ' + c.dst;
  }

  // An element showing how long ago `ms` was, refreshed by the tick.
  function relative(e, ms) {
    if (ms === null) {
      e.removeAttribute('data-at');
      e.removeAttribute('title');
      e.textContent = '–';
      return;
    }
    e.setAttribute('data-at', String(ms));
    e.title = exact(ms);
    e.textContent = ago((gwNow() - ms) / 1000);
  }

  // ---- the site and the links ------------------------------------------------

  function applyStatus(s, fromSnapshot) {
    if (!s || typeof s !== 'object') return;
    const now = time(s.now);
    if (now !== null) st.skew = now - Date.now();
    st.status = s;
    st.statusAt = mono();
    const site = s.site || {};
    const call = site.callsign ? String(site.callsign) : 'corvane';
    setText('#site-callsign', call);
    st.site = call;
    title();
    setText('#site-mode', MODE_TEXT[site.mode] || 'DMR gateway');
    setText('#site-id', site.repeater_id ? 'Repeater ID ' + site.repeater_id : '');
    setText('#site-tx', mhz(site.tx_mhz));
    setText('#site-rx', mhz(site.rx_mhz));
    setText('#site-repeater', site.repeater || '');
    setText('#site-master', site.master || '');
    setText('#version', s.version);
    setText('#ids', num(s.ids) === null ? '–' : s.ids.toLocaleString());
    const up = $('#uptime');
    const started = time(s.started);
    if (started !== null) up.title = 'since ' + exact(started);
    for (const name of LINKS) {
      const obj = s.links && s.links[name];
      if (obj) setLink(name, obj, !fromSnapshot);
    }
    tick();
  }

  // A polled status may have been made before a link event we already have:
  // it does not turn back a newer change.
  function setLink(name, obj, polled) {
    const had = st.links[name];
    if (polled && had) {
      const a = time(had.obj.since), b = time(obj.since);
      if (a !== null && (b === null || b < a)) return;
    }
    st.links[name] = { obj: obj, at: mono() };
    const tile = $('#link-' + name);
    if (!tile) return;
    tile.setAttribute('data-up', obj.up ? 'true' : 'false');
    setText('.state', obj.up ? 'up' : 'down', tile);
    relative($('.since', tile), time(obj.since));
    const n = name === 'repeater' ? obj.peers : obj.logins;
    setText('.count', num(n) === null ? '–' : n, tile);
    linkAges();
  }

  function linkAges() {
    for (const name of LINKS) {
      const l = st.links[name], tile = $('#link-' + name);
      if (!l || !tile) continue;
      const e = $('.answer', tile), a = num(l.obj.last_answer_s);
      if (a === null) {
        e.textContent = 'never';
        e.removeAttribute('title');
        continue;
      }
      const s = a + (mono() - l.at) / 1000;
      e.textContent = ago(s);
      e.title = exact(gwNow() - s * 1000);
    }
  }

  // ---- calls on the air ---------------------------------------------------------

  function key(c) {
    return c.dir + '/' + c.slot;
  }

  function putOnAir(c) {
    if (!c || DIRS.indexOf(c.dir) < 0) return false;
    const k = key(c), had = st.air[k];
    const same = had && had.call.start === c.start && had.call.src === c.src;
    st.air[k] = { call: c, base: num(c.duration_s) || 0, at: mono(), shown: same ? had.shown : 0 };
    banner(c.dir);
    return !same;
  }

  function takeOffAir(c) {
    const k = key(c);
    if (st.air[k] && st.air[k].call.start === c.start) delete st.air[k];
    banner(c.dir);
  }

  function onAir(dir) {
    return Object.keys(st.air).map((k) => st.air[k]).filter((a) => a.call.dir === dir)
      .sort((a, b) => (time(b.call.start) || 0) - (time(a.call.start) || 0));
  }

  function banner(dir) {
    const b = $('#onair-' + dir);
    const calls = onAir(dir);
    const c = calls.length ? calls[0].call : null;
    b.setAttribute('data-active', c ? 'true' : 'false');
    $('.idle', b).hidden = !!c;
    if (!c) lastOne(dir);
    $('.call', b).hidden = !c;
    if (c) {
      setText('.callsign', who(c.callsign, c.src), b);
      setText('.name', c.name || '', b);
      setText('.dest', destination(c), b);
      setText('.slot', 'Slot ' + c.slot, b);
      setText('.src', c.callsign ? 'ID ' + c.src : '', b);
      const also = $('.also', b);
      also.hidden = calls.length < 2;
      if (calls.length > 1) {
        also.textContent = 'also on the air: ' + calls.slice(1)
          .map((a) => who(a.call.callsign, a.call.src) + ' on slot ' + a.call.slot).join(', ');
      }
    }
    title();
    timers();
  }

  // An idle banner names the latest call of its direction.
  function lastOne(dir) {
    const b = $('#onair-' + dir), p = $('.last', b);
    const c = st.lastheard.find((x) => x.dir === dir);
    p.hidden = !c;
    if (!c) return;
    setText('.lastwho', who(c.callsign, c.src) + (c.name ? ' ' + c.name : '') + ', ' + destination(c), p);
    relative($('.rel', p), time(c.start));
  }

  // The tab tells who is on the air.
  function title() {
    const busy = DIRS.map((d) => onAir(d)[0]).filter((a) => a).map((a) => who(a.call.callsign, a.call.src));
    document.title = (busy.length ? '● ' + busy.join(', ') + ' · ' : '') + st.site + ' · corvane';
  }

  function timers() {
    for (const dir of DIRS) {
      const calls = onAir(dir);
      if (!calls.length) continue;
      const a = calls[0];
      a.shown = Math.max(a.shown, a.base + (mono() - a.at) / 1000);
      setText('.timer', clock(a.shown), $('#onair-' + dir));
    }
  }

  // ---- last heard -----------------------------------------------------------------

  function cell(row, cls, label, content) {
    const td = el('td', cls);
    if (label) td.setAttribute('data-label', label);
    if (typeof content === 'string') td.textContent = content;
    else if (content) td.appendChild(content);
    row.appendChild(td);
    return td;
  }

  function row(c, fresh) {
    const tr = el('tr', fresh ? 'new' : '');
    tr.setAttribute('data-dir', String(c.dir));
    const start = time(c.start);
    const t = cell(tr, 'time', 'Time');
    const rel = el('span', 'rel');
    relative(rel, start);
    t.appendChild(rel);
    if (start !== null) t.appendChild(el('span', 'sub', localTime(start)));
    cell(tr, '', 'Direction', el('span', 'dir ' + (DIRS.indexOf(c.dir) >= 0 ? c.dir : ''), DIR_TEXT[c.dir] || c.dir));
    cell(tr, 'slot', 'Slot', String(c.slot));
    const caller = cell(tr, 'caller', 'Caller');
    caller.appendChild(el('span', 'cs', who(c.callsign, c.src)));
    if (c.name) caller.appendChild(el('span', 'nm', c.name));
    if (c.callsign) caller.title = 'ID ' + c.src;
    cell(tr, 'dest', 'Destination', destination(c));
    cell(tr, 'num dur', 'Duration', num(c.duration_s) === null ? '–' : duration(c.duration_s));

    const loss = num(c.loss_pct);
    const lc = cell(tr, 'num loss', 'Loss', loss === null ? '–' : el('span', 'q ' + quality(loss), pct(loss)));
    if (loss !== null) lc.title = c.lost + ' of ' + (c.bursts + c.lost) + ' bursts lost';

    const ber = num(c.ber_pct), bad = num(c.bad_pct);
    let bc;
    if (c.bits > 0 && ber !== null) {
      bc = cell(tr, 'num ber', 'BER', el('span', 'q ' + quality(ber), pct(ber)));
      bc.title = c.bit_errors + ' of ' + c.bits + ' bits ' +
        (c.ber_source === 'sender' ? 'in error (the sender\'s figure)' : 'corrected by the FEC');
    } else if (c.frames > 0 && bad !== null) {
      bc = cell(tr, 'num ber', 'Bad frames', el('span', 'q ' + quality(bad), pct(bad) + ' bad'));
      bc.title = c.bad_frames + ' of ' + c.frames + ' voice frames ' +
        (c.dir === 'to_repeater' ? 'replaced' : 'marked bad by the repeater');
    } else {
      cell(tr, 'num ber', 'BER', '–');
    }
    const end = cell(tr, 'end', 'End', el('span', c.end === 'timeout' ? 'end-timeout' : '', c.end || '–'));
    end.setAttribute('data-end', String(c.end));
    return tr;
  }

  function renderLastheard(freshCall) {
    const body = $('#lastheard tbody');
    const rows = st.lastheard.map((c) => row(c, c === freshCall));
    body.replaceChildren(...rows);
    $('#lastheard-empty').hidden = rows.length > 0;
    $('#lastheard').hidden = rows.length === 0;
  }

  function addLastheard(c) {
    st.lastheard = st.lastheard.filter((o) => !(o.start === c.start && o.dir === c.dir && o.slot === c.slot));
    st.lastheard.unshift(c);
    if (st.lastheard.length > MAX_ROWS) st.lastheard.length = MAX_ROWS;
    renderLastheard(c);
    banner(c.dir);
  }

  // ---- the last 24 hours ---------------------------------------------------------

  function setHistory(h) {
    const hours = h && Array.isArray(h.hours) ? h.hours : [];
    st.hours = hours.map((x) => ({
      t: time(x.start) || 0,
      to_repeater: num(x.to_repeater) || 0,
      to_master: num(x.to_master) || 0
    }));
    rollHours(gwNow());
    chart();
  }

  // Moves the window on so that its last hour holds `ms` (UTC hours are
  // whole multiples of an hour since the epoch).
  function rollHours(ms) {
    const hs = st.hours;
    if (!hs.length) return false;
    const cur = Math.floor(ms / HOUR) * HOUR, last = hs[hs.length - 1].t;
    if (cur <= last) return false;
    const n = hs.length, keep = hs.filter((h) => h.t > cur - n * HOUR);
    st.hours = [];
    for (let i = n - 1; i >= 0; i--) {
      const t = cur - i * HOUR;
      st.hours.push(keep.find((h) => h.t === t) || { t: t, to_repeater: 0, to_master: 0 });
    }
    return true;
  }

  function countCall(c) {
    const t = time(c.start);
    if (t === null || !st.hours.length || DIRS.indexOf(c.dir) < 0) return;
    rollHours(t);
    const h = st.hours.find((x) => t >= x.t && t < x.t + HOUR);
    if (h) {
      h[c.dir]++;
      chart();
    }
  }

  const SVG = 'http://www.w3.org/2000/svg';

  function svg(tag, attrs, parent, text) {
    const e = document.createElementNS(SVG, tag);
    for (const k in attrs) e.setAttribute(k, String(attrs[k]));
    if (text !== undefined) e.textContent = text;
    if (parent) parent.appendChild(e);
    return e;
  }

  function chart() {
    const box = $('#history');
    const hs = st.hours;
    const W = Math.max(300, Math.round(box.clientWidth || 700)), H = W < 500 ? 170 : 200;
    const L = 30, R = 18, T = 10, B = 24;
    const gw = (W - L - R) / 24;
    let max = 0, total = 0;
    for (const h of hs) {
      max = Math.max(max, h.to_repeater, h.to_master);
      total += h.to_repeater + h.to_master;
    }
    const top = max <= 4 ? 4 : Math.ceil(max / 4) * 4;
    const y = (v) => T + (H - T - B) * (1 - v / top);
    const s = svg('svg', { viewBox: '0 0 ' + W + ' ' + H, width: W, height: H, role: 'img' });
    svg('title', {}, s, 'Calls per hour over the last 24 hours');
    for (let i = 0; i <= 4; i++) {
      const v = (top / 4) * i;
      svg('line', { class: 'grid', x1: L, x2: W - R, y1: y(v), y2: y(v) }, s);
      svg('text', { class: 'axis', x: L - 6, y: y(v) + 4, 'text-anchor': 'end' }, s, String(v));
    }
    const step = [1, 2, 3, 4, 6, 8, 12].find((n) => n * gw >= 52) || 12;
    const bw = Math.max(1, gw * 0.36);
    hs.forEach((h, i) => {
      const x = L + i * gw;
      const g = svg('g', {}, s);
      if (i === hs.length - 1) svg('rect', { class: 'now-hour', x: x, y: T, width: gw, height: H - T - B }, g);
      const from = new Date(h.t), to = new Date(h.t + HOUR);
      const hm = (d) => String(d.getHours()).padStart(2, '0') + ':00';
      svg('title', {}, g, hm(from) + '–' + hm(to) + ': ' + h.to_repeater + ' ' + DIR_LONG.to_repeater + ', ' +
        h.to_master + ' ' + DIR_LONG.to_master);
      svg('rect', { class: 'hit', x: x, y: T, width: gw, height: H - T - B }, g);
      const bars = [['b-rpt', h.to_repeater], ['b-net', h.to_master]];
      bars.forEach(([cls, v], j) => {
        if (!v) return;
        svg('rect', { class: cls, x: x + gw * 0.12 + j * (bw + gw * 0.04), y: y(v), width: bw, height: y(0) - y(v),
          rx: Math.min(2, bw / 3) }, g);
      });
      const ticks = (hs.length - 1 - i) % step === 0;
      if (ticks) svg('text', { class: 'axis', x: x + gw / 2, y: H - 7, 'text-anchor': 'middle' }, s, hm(from));
    });
    box.replaceChildren(s);
    setText('#hist-total', total === 1 ? '1 call' : total + ' calls');
  }

  // ---- the stream -----------------------------------------------------------------

  function parse(ev) {
    try {
      return JSON.parse(ev.data);
    } catch (e) {
      return null;
    }
  }

  function setConn(state) {
    if (st.conn === state) return;
    st.conn = state;
    const e = $('#conn-state');
    e.setAttribute('data-state', state);
    e.textContent = state === 'live' ? 'live' : state === 'disconnected' ? 'disconnected — reconnecting…'
      : 'connecting…';
    document.body.setAttribute('data-conn', state);
  }

  function snapshot(d) {
    if (!d || typeof d !== 'object') return;
    st.started = d.status && d.status.started;
    st.air = {};
    applyStatus(d.status, true);
    for (const c of (d.status && d.status.on_air) || []) putOnAir(c);
    st.lastheard = Array.isArray(d.lastheard) ? d.lastheard.slice(0, MAX_ROWS) : [];
    renderLastheard(null);
    for (const dir of DIRS) banner(dir);
    setHistory(d.history);
    setConn('live');
  }

  const handlers = {
    snapshot: snapshot,
    call_start: (c) => {
      if (putOnAir(c)) countCall(c);
    },
    call_progress: (c) => putOnAir(c),
    call_end: (c) => {
      takeOffAir(c);
      addLastheard(c);
    },
    link: (l) => {
      if (l && LINKS.indexOf(l.link) >= 0) setLink(l.link, l, false);
    }
  };

  function connect() {
    clearTimeout(st.retry);
    if (st.es) st.es.close();
    const es = new EventSource('api/events');
    st.es = es;
    es.onopen = () => setConn('live');
    es.onerror = () => {
      if (es !== st.es) return;
      setConn('disconnected');
      // The browser tries again by itself unless the answer was no stream
      // at all; then it is our turn.
      if (es.readyState === EventSource.CLOSED) st.retry = setTimeout(connect, RETRY_MS);
    };
    for (const name in handlers) {
      es.addEventListener(name, (ev) => {
        const d = parse(ev);
        if (d !== null && es === st.es) handlers[name](d);
      });
    }
  }

  // The ages between events; a different start time means the gateway was
  // restarted under a stream that has not noticed yet.
  function poll() {
    if (st.conn !== 'live' || document.visibilityState === 'hidden') return;
    fetch('api/status', { cache: 'no-store' })
      .then((r) => (r.ok ? r.json() : null))
      .then((s) => {
        if (!s || st.conn !== 'live') return;
        if (st.started && s.started !== st.started) connect();
        else applyStatus(s, false);
      })
      .catch(() => {});
  }

  function tick() {
    timers();
    const now = gwNow();
    for (const e of document.querySelectorAll('[data-at]')) {
      e.textContent = ago((now - Number(e.getAttribute('data-at'))) / 1000);
    }
    linkAges();
    if (st.status && num(st.status.uptime_s) !== null) {
      $('#uptime').textContent = span(st.status.uptime_s + (mono() - st.statusAt) / 1000);
    }
    if (rollHours(now)) chart();
  }

  let width = 0;
  function resized() {
    const w = $('#history').clientWidth;
    if (w !== width) {
      width = w;
      if (st.hours.length) chart();
    }
  }

  document.addEventListener('DOMContentLoaded', () => {
    setConn('connecting');
    connect();
    setInterval(tick, 500);
    setInterval(poll, POLL_MS);
    window.addEventListener('resize', resized);
  });
})();
