'use strict';
// The web remote: shows what the hub knows of the switch (from its event
// stream) and asks the hub for changes through the API. It keeps no rule
// of the switch of its own: a change shows once the hub confirms it.

const OUTPUTS = ['A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'];
const INPUTS = [1, 2, 3, 4, 5, 6, 7, 8];

const state = {
  outputs: {},   // "A": {input, arc, label}
  inputs: {},    // 1: {label}
  presets: [],
  chosen: 'A',   // the output the input buttons route
  busy: new Set(),
};

const $ = (id) => document.getElementById(id);

function make(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === 'class') e.className = v;
    else if (k === 'data') Object.assign(e.dataset, v);
    else if (k === 'on') Object.entries(v).forEach(([ev, f]) => e.addEventListener(ev, f));
    else e.setAttribute(k, v);
  }
  children.forEach((c) => e.append(c));
  return e;
}

function inputName(i) { return state.inputs[i]?.label || ''; }
function outputName(o) { return state.outputs[o]?.label || ''; }
function routeText(o) { const i = state.outputs[o]?.input; return i ? `IN${i}` : '–'; }

// --- building the controls once -------------------------------------------------

function build() {
  const outputs = $('outputs');
  const inputs = $('inputs');
  for (const o of OUTPUTS) {
    outputs.append(make('div', {class: 'output'},
      make('button', {type: 'button', class: 'pick', data: {output: o}, 'aria-pressed': 'false',
        on: {click: () => choose(o)}},
        make('span', {class: 'letter'}, o), make('span', {class: 'route'}), make('span', {class: 'name'})),
      make('button', {type: 'button', class: 'arc', data: {arc: o}, 'aria-pressed': 'false',
        on: {click: () => toggleArc(o)}}, 'ARC')));
  }
  for (const i of INPUTS) {
    inputs.append(make('button', {type: 'button', class: 'input', data: {input: String(i)}, 'aria-pressed': 'false',
      on: {click: () => route(state.chosen, i)}},
      make('span', {class: 'number'}, String(i)), make('span', {class: 'name'})));
  }
  const head = $('grid-head');
  for (const i of INPUTS) head.append(make('th', {scope: 'col', data: {gridInputHead: String(i)}}, `IN${i}`, make('span', {class: 'name'})));
  head.append(make('th', {scope: 'col'}, 'ARC'));
  const body = $('grid-body');
  for (const o of OUTPUTS) {
    const row = make('tr', {}, make('th', {scope: 'row', data: {gridOutputHead: o}}, o, make('span', {class: 'name'})));
    for (const i of INPUTS) {
      row.append(make('td', {}, make('button', {type: 'button', data: {gridOutput: o, gridInput: String(i)},
        'aria-pressed': 'false', on: {click: () => route(o, i)}}, String(i))));
    }
    row.append(make('td', {}, make('button', {type: 'button', data: {gridArc: o}, 'aria-pressed': 'false',
      on: {click: () => toggleArc(o)}}, 'ARC')));
    body.append(row);
  }
}

// --- showing the state ------------------------------------------------------------

function render() {
  for (const o of OUTPUTS) {
    const pick = document.querySelector(`[data-output="${o}"]`);
    const name = outputName(o);
    const input = state.outputs[o]?.input;
    pick.querySelector('.route').textContent = routeText(o);
    pick.querySelector('.name').textContent = name;
    pick.setAttribute('aria-pressed', String(o === state.chosen));
    pick.setAttribute('aria-label', `Output ${o}${name ? ` ${name}` : ''}, ${input ? `shows input ${input}` : 'route not known'}`);
    const arcOn = state.outputs[o]?.arc === true;
    for (const b of document.querySelectorAll(`[data-arc="${o}"], [data-grid-arc="${o}"]`)) {
      b.setAttribute('aria-pressed', String(arcOn));
      b.setAttribute('aria-label', `ARC of output ${o}`);
      b.setAttribute('aria-busy', String(state.busy.has(`arc:${o}`)));
    }
    const head = document.querySelector(`[data-grid-output-head="${o}"] .name`);
    head.textContent = name;
    for (const i of INPUTS) {
      const cell = document.querySelector(`[data-grid-output="${o}"][data-grid-input="${i}"]`);
      cell.setAttribute('aria-pressed', String(input === i));
      cell.setAttribute('aria-label', `Input ${i} to output ${o}`);
      cell.setAttribute('aria-busy', String(state.busy.has(`route:${o}:${i}`)));
    }
  }
  $('chosen').textContent = state.chosen;
  const chosenInput = state.outputs[state.chosen]?.input;
  for (const i of INPUTS) {
    const b = document.querySelector(`[data-input="${i}"]`);
    const name = inputName(i);
    b.querySelector('.name').textContent = name;
    b.setAttribute('aria-pressed', String(chosenInput === i));
    b.setAttribute('aria-label', `Input ${i}${name ? ` ${name}` : ''} to output ${state.chosen}`);
    b.setAttribute('aria-busy', String(state.busy.has(`route:${state.chosen}:${i}`)));
    document.querySelector(`[data-grid-input-head="${i}"] .name`).textContent = name;
  }
  renderPresets();
}

function renderPresets() {
  const list = $('presets');
  list.replaceChildren();
  $('no-presets').hidden = state.presets.length > 0;
  for (const p of state.presets) {
    const item = make('li', {class: p.active ? 'active' : ''},
      make('span', {}, make('span', {class: 'preset-name'}, p.name),
        ...(p.active ? [make('span', {class: 'state'}, '✓ active')] : [])),
      make('button', {type: 'button', data: {recall: p.name}, 'aria-label': `Recall preset ${p.name}`,
        'aria-busy': String(state.busy.has(`recall:${p.name}`)), on: {click: () => recall(p.name)}}, 'Recall'));
    if (p.active) item.setAttribute('aria-current', 'true');
    list.append(item);
  }
}

function showLink(text, kind) {
  const link = $('link');
  link.textContent = text;
  link.dataset.state = kind || text;
}

function say(text) { $('message').textContent = text || ''; }

function applyStatus(doc) {
  $('switch').textContent = doc.switch || '';
  for (const o of doc.outputs) state.outputs[o.output] = {input: o.input, arc: o.arc, label: o.label};
  for (const i of doc.inputs) state.inputs[i.input] = {label: i.label};
  showLink(doc.link);
}

function applyLabels(doc) {
  for (const o of doc.outputs) state.outputs[o.output] = {...state.outputs[o.output], label: o.label};
  for (const i of doc.inputs) state.inputs[i.input] = {...state.inputs[i.input], label: i.label};
}

// --- asking the hub ------------------------------------------------------------------

async function post(path, body) {
  const r = await fetch(path, {method: 'POST', headers: {'Content-Type': 'application/json'},
    body: JSON.stringify(body), credentials: 'same-origin'});
  if (r.status === 401) location.replace('/login');
  const doc = await r.json().catch(() => ({}));
  if (!r.ok) throw new Error(doc.error || `The hub answered ${r.status}`);
  return doc;
}

async function change(key, path, body, confirmed) {
  if (state.busy.has(key)) return;
  state.busy.add(key);
  say('');
  render();
  try {
    confirmed(await post(path, body));
  } catch (e) {
    say(e.message);
  } finally {
    state.busy.delete(key);
    render();
  }
}

function choose(output) {
  state.chosen = output;
  render();
}

// The one place a choice of input goes to the switch (a take mode would
// hold it here instead).
function route(output, input) {
  change(`route:${output}:${input}`, '/api/v1/route', {input, outputs: [output]}, (doc) => {
    for (const r of doc.routes) state.outputs[r.output] = {...state.outputs[r.output], input: r.input};
  });
}

function toggleArc(output) {
  const on = state.outputs[output]?.arc !== true;
  change(`arc:${output}`, '/api/v1/arc', {output, arc: on}, (doc) => {
    state.outputs[doc.output] = {...state.outputs[doc.output], arc: doc.arc};
  });
}

function recall(name) {
  change(`recall:${name}`, '/api/v1/presets/recall', {name}, (doc) => { state.presets = doc.presets; });
}

// --- following the hub ---------------------------------------------------------------

function follow() {
  const events = new EventSource('/api/v1/events');
  const on = (name, f) => events.addEventListener(name, (e) => { f(JSON.parse(e.data)); render(); });
  on('status', applyStatus);
  on('route', (d) => { state.outputs[d.output] = {...state.outputs[d.output], input: d.input}; });
  on('arc', (d) => { state.outputs[d.output] = {...state.outputs[d.output], arc: d.arc}; });
  on('labels', applyLabels);
  on('presets', (d) => { state.presets = d.presets; });
  on('link', (d) => showLink(d.link));
  events.addEventListener('error', async () => {
    showLink('Hub not reachable', 'unreachable');
    // A stream refused for want of a login: to the form.
    const r = await fetch('/api/v1/status', {credentials: 'same-origin'}).catch(() => null);
    if (r && r.status === 401) location.replace('/login');
  });
}

build();
render();
follow();
