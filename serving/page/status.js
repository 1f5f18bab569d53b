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
    renderForecast(data);
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
      byId('checked').textContent = fill(words.checked, new Date().toLocaleTimeString(lang));
    } catch (error) {
      stale = true;
      showHealth('fail', words.unreachable, String(error));
    } finally {
      // The next poll waits for this one: a slow server never has them pile up.
      setTimeout(poll, POLL_MS);
    }
  }

  poll();
})();
