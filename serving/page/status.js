'use strict';
// Every text from the server goes into the page as text (textContent, attributes), never as
// mark-up: forecasts and log lines come from other people's pages and programs.
(() => {
  const POLL_MS = 30000;
  // Health and the log change without a new forecast: read them at least this often.
  const FULL_EVERY_POLLS = 4;
  // A server that stops answering must not hold a poll, and the ones after it, for ever.
  const TIMEOUT_MS = 20000;
  // Relative, so that the page also works below a reverse proxy's sub-path.
  const get = (url, headers = {}) =>
    fetch(url, { headers, cache: 'no-store', signal: AbortSignal.timeout(TIMEOUT_MS) });

  const words = {};
  for (const item of document.querySelectorAll('#words [data-key]')) {
    words[item.dataset.key] = item.textContent;
  }
  // One pass, so a value holding "%2" is never read as a placeholder.
  const fill = (template, ...values) =>
    template.replace(/%(\d)/g, (_, n) => String(values[n - 1] ?? ''));
  const byId = (id) => document.getElementById(id);
  const make = (tag, className, text) => {
    const element = document.createElement(tag);
    if (className) element.className = className;
    if (text !== undefined) element.textContent = text;
    return element;
  };
  const lang = document.documentElement.lang;
  const weekday = new Intl.DateTimeFormat(lang, { weekday: 'short', timeZone: 'UTC' });
  const dayLabel = (iso) => {
    const [y, m, d] = iso.split('-').map(Number);
    return `${weekday.format(new Date(Date.UTC(y, m - 1, d)))} ${iso.slice(5)}`;
  };
  const attemptLine = (a) => `${a.logtime}  ${a.status} ${a.errnum} ${a.description}`;
  const SVG = 'http://www.w3.org/2000/svg';
  const draw = (tag, attributes, className) => {
    const element = document.createElementNS(SVG, tag);
    for (const [name, value] of Object.entries(attributes)) element.setAttribute(name, value);
    if (className) element.setAttribute('class', className);
    return element;
  };
  const range = (r, unit) => (r[0] === r[1] ? `${r[0]}${unit}` : `${r[0]}–${r[1]}${unit}`);
  const degrees = (t) => (t ? `${t.day ?? ''} ${t.celsius}℃`.trim() : '');
  const dayNumber = (iso) => {
    const [y, m, d] = iso.split('-').map(Number);
    return Date.UTC(y, m - 1, d) / 86400000;
  };

  let shownId = null;
  let stale = true;
  let polls = 0;

  function showHealth(state, reason, record) {
    const banner = byId('health');
    banner.className = `banner ${state}`;
    byId('health-state').textContent = state === 'ok' ? words.working : words.failing;
    byId('health-reason').textContent = reason;
    byId('health-record').textContent = record;
  }

  function renderHealth(h) {
    const reason = h.healthy ? '' : fill(words[h.problem] ?? '%1', h.detail);
    const record = fill(words.record, h.last_attempt ?? words.never, h.last_success ?? words.never,
      h.consecutive_failures ?? '');
    showHealth(h.healthy ? 'ok' : 'fail', reason, record);
  }

  // Only a collector with channels has an outbox to tell of.
  function renderDeliveries(h) {
    const line = byId('deliveries');
    line.hidden = h.deliveries_pending === undefined;
    line.textContent = fill(words.deliveries, h.deliveries_pending, h.deliveries_given_up);
  }

  function renderForecast(data) {
    const f = data.forecast;
    shownId = f ? f.id : null;
    byId('stored').textContent = f ? fill(words.storedAt, f.logtime) : words.noForecast;
    byId('forecast').textContent = f ? (f.readable_text ?? '') : '';
    byId('since').textContent = !f ? '' : data.previous
      ? fill(words.since, data.previous.logtime) : words.first;
    const diff = byId('diff');
    diff.replaceChildren();
    for (const span of data.diff) {
      const tag = { inserted: 'ins', deleted: 'del' }[span.kind];
      diff.append(tag ? make(tag, '', span.text) : document.createTextNode(span.text));
    }
  }

  // The newest forecast's periods, bulletin by bulletin, and what could not be read in them.
  function renderPeriods(fields) {
    const table = byId('periods');
    for (const body of [...table.tBodies]) body.remove();
    table.hidden = !fields;
    if (!fields) return;
    const wide = (tr, className, text) => {
      const cell = make(tr, className, text);
      cell.colSpan = 6;
      return cell;
    };
    for (const b of fields.bulletins) {
      const body = make('tbody');
      const who = [b.issuer, b.issued_day].filter((v) => v).join(' ');
      const heading = make('tr');
      heading.append(wide('th', 'bulletin',
        b.issued_hour === null ? who : fill(words.issuedAt, who, b.issued_hour)));
      body.append(heading);
      const notRead = (clauses) => {
        if (!clauses.length) return;
        const row = make('tr', 'unread');
        row.append(wide('td', '', fill(words.notRead, clauses.join('；'))));
        body.append(row);
      };
      notRead(b.unparsed);
      for (const p of b.periods) {
        const wind = [p.wind ? `${p.wind.direction}${range(p.wind.force, '级')}` : '',
          ...p.gusts.map((g) => `${g.area ?? ''} ${fill(words.gust, range(g.force, '级'))}`.trim())];
        const row = make('tr');
        row.append(make('th', '', p.name), make('td', '', p.sky ?? ''),
          make('td', 'wind', wind.filter((w) => w).join('\n')), make('td', '', degrees(p.low)),
          make('td', '', degrees(p.high)), make('td', '', p.humidity ? range(p.humidity, '%') : ''));
        body.append(row);
        notRead(p.unparsed);
      }
      table.append(body);
    }
  }

  // The highest and lowest of each day's newest forecast, one column a day, oldest on the left.
  function renderChart(chart) {
    const figure = byId('temps');
    const detail = byId('chart-detail');
    figure.replaceChildren();
    detail.textContent = '';
    const points = chart.points.filter((p) => p.highest !== null || p.lowest !== null);
    const values = points.flatMap((p) => [p.highest, p.lowest]).filter((v) => v !== null);
    byId('chart-empty').hidden = values.length > 0;
    if (!values.length) return;

    // Drawn at the size it shows, so that its text keeps the page's size on a phone too.
    const width = Math.max(320, Math.min(960, Math.round(figure.clientWidth) || 640));
    const [height, left, right, top, bottom] = [240, 40, 8, 10, 26];
    figure.setAttribute('viewBox', `0 0 ${width} ${height}`);
    const spread = Math.max(...values) - Math.min(...values);
    const step = spread > 40 ? 10 : spread > 12 ? 5 : 2;
    const low = Math.floor((Math.min(...values) - 1) / step) * step;
    const high = Math.ceil((Math.max(...values) + 1) / step) * step;
    const y = (v) => top + ((high - v) / (high - low)) * (height - top - bottom);
    const column = (width - left - right) / chart.days;
    const first = dayNumber(chart.first_day);
    const x = (date) => left + (dayNumber(date) - first + 0.5) * column;

    for (let v = low; v <= high; v += step) {
      figure.append(draw('line', { x1: left, x2: width - right, y1: y(v), y2: y(v) }, 'grid'));
      const label = draw('text', { x: left - 6, y: y(v) + 4 }, 'axis value');
      label.textContent = `${v}℃`;
      figure.append(label);
    }
    for (let i = chart.days - 1; i >= 0; i -= 2) {
      const date = new Date((first + i) * 86400000).toISOString().slice(0, 10);
      const label = draw('text', { x: x(date), y: height - 8 }, 'axis day');
      label.textContent = date.slice(5);
      figure.append(label);
    }
    // A day without a value breaks the line rather than bridging it.
    for (const key of ['highest', 'lowest']) {
      let line = [];
      let last = null;
      const end = () => {
        if (line.length) figure.append(draw('polyline', { points: line.join(' ') }, `line ${key}`));
        line = [];
      };
      for (const p of points.filter((q) => q[key] !== null)) {
        if (last !== null && dayNumber(p.date) !== last + 1) end();
        line.push(`${x(p.date)},${y(p[key])}`);
        last = dayNumber(p.date);
      }
      end();
    }
    for (const p of points) {
      // The whole column answers a hover or a tap, not just the small dots.
      const day = draw('g', { 'data-date': p.date, tabindex: 0 }, 'day');
      const title = draw('title', {});
      title.textContent = `${fill(words.chartPoint, dayLabel(p.date), p.highest ?? '–',
        p.lowest ?? '–')}\n${p.logtime}\n${p.readable_text ?? ''}`;
      day.append(title, draw('rect', { x: x(p.date) - column / 2, y: top, width: column,
        height: height - top - bottom }, 'hit'));
      for (const key of ['highest', 'lowest']) {
        if (p[key] !== null) day.append(draw('circle', { cx: x(p.date), cy: y(p[key]), r: 4 }, key));
      }
      const choose = () => {
        figure.querySelector('.chosen')?.classList.remove('chosen');
        day.classList.add('chosen');
        detail.textContent = title.textContent;
      };
      day.addEventListener('click', choose);
      day.addEventListener('keydown', (event) => { if (event.key === 'Enter') choose(); });
      figure.append(day);
    }
  }

  function renderSlots(slots) {
    const grid = byId('grid');
    const detail = byId('slot-detail');
    const head = make('tr');
    head.append(make('th'));
    slots.times.forEach((time, i) => {
      if (slots.breaks.includes(i)) head.append(make('th', 'gap'));
      head.append(make('th', '', time));
    });
    const thead = make('thead');
    thead.append(head);
    const tbody = make('tbody');
    // Today on top: the line to look at first.
    for (const day of [...slots.days].reverse()) {
      const row = make('tr');
      row.append(make('th', '', dayLabel(day.date)));
      day.cells.forEach((cell, i) => {
        if (slots.breaks.includes(i)) row.append(make('td', 'gap'));
        const td = make('td');
        const box = make('span', `cell ${cell.state}`);
        box.title = fill(words.slot, dayLabel(day.date), slots.times[i], slots.ends[i],
          words[cell.state]) +
          (cell.attempt ? `\n${attemptLine(cell.attempt)}` : '');
        box.setAttribute('role', 'img');
        // A phone has no hover: a tap shows the same details below the picture.
        box.addEventListener('click', () => {
          grid.querySelector('.chosen')?.classList.remove('chosen');
          box.classList.add('chosen');
          detail.textContent = box.title;
        });
        td.append(box);
        row.append(td);
      });
      tbody.append(row);
    }
    grid.replaceChildren(thead, tbody);
    detail.textContent = '';
  }

  function renderAttempts(attempts) {
    const body = byId('attempts').tBodies[0];
    body.replaceChildren();
    for (const a of attempts) {
      const row = make('tr', a.failed ? 'failed' : '');
      const mark = make('td');
      const box = make('span', `cell ${a.state}`);
      box.title = words[a.state];
      mark.append(box);
      if (a.failed) mark.append(make('span', 'sr', ` ${words.failure}`));
      row.append(mark, make('td', '', a.logtime), make('td', '', a.status),
        make('td', '', String(a.errnum)), make('td', '', a.description));
      body.append(row);
    }
  }

  // True once everything shown is fresh.
  async function load() {
    const response = await get('page/status.json');
    const data = await response.json();
    if (!response.ok) {
      showHealth('fail', fill(words.answered, data.error ?? response.status), '');
      return false;
    }
    renderHealth(data.health);
    renderDeliveries(data.health);
    renderForecast(data);
    renderPeriods(data.forecast?.fields ?? null);
    renderChart(data.chart);
    renderSlots(data.slots);
    renderAttempts(data.attempts);
    return true;
  }

  // A 304 costs the server nothing; only a new forecast, a failure or time reads everything.
  async function poll() {
    try {
      const headers = shownId === null ? {} : { 'If-None-Match': `"${shownId}"` };
      const response = await get('forecast', headers);
      const fresh = response.status === 200 && response.headers.get('ETag') !== `"${shownId}"`;
      if (fresh || stale || ++polls % FULL_EVERY_POLLS === 0) stale = !(await load());
      checked(false);
    } catch (error) {
      stale = true;
      showHealth('fail', words.unreachable, String(error));
    } finally {
      // The next poll waits for this one: a slow server never has them pile up. Once the
      // server answers, the stream is tried again.
      if (!stale && window.EventSource) listen(); else setTimeout(poll, POLL_MS);
    }
  }

  function checked(live) {
    byId('checked').textContent = fill(live ? words.live : words.polling,
      fill(words.checked, new Date().toLocaleTimeString(lang)));
  }

  // The server tells of each new forecast and change of health on its event stream; while
  // that fails, the page polls.
  function listen() {
    const events = new EventSource('events');
    const refresh = async () => {
      try {
        stale = !(await load());
        checked(true);
      } catch (error) {
        stale = true;
      }
    };
    // The log and the slots change without news: read them as often as polling does.
    const every = setInterval(refresh, POLL_MS * FULL_EVERY_POLLS);
    events.addEventListener('open', () => checked(true));
    events.addEventListener('forecast', (event) => {
      if (event.lastEventId !== String(shownId)) refresh();
    });
    events.addEventListener('health', refresh);
    events.addEventListener('error', () => {
      clearInterval(every);
      events.close();
      checked(false);
      setTimeout(poll, POLL_MS);
    });
  }

  poll();
})();
