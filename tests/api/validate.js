#!/usr/bin/env node
// validate.js: checks every answer that the CGI tests captured against the published
// description of the answers, docs/api.schema.json, with a JSON Schema validator (Ajv,
// draft 2020-12). What a hub relies on is checked on the real bytes: a complete CGI header
// block with CR LF line ends, the Status line and header lines each action may send, a body
// of well-formed UTF-8, one JSON line ending in LF, the members and types of every answer,
// and the order of the status fields.
//
//   node tests/api/validate.js CAPTURE_DIR
//
// CAPTURE_DIR holds one JSON record per credvane run, written by the CGI test harness when
// CREDVANE_ANSWER_LOG names the folder: {"test", "query" (null when unset), "args",
// "meta" (QN_PLUGIN_META set), "gateway" (GATEWAY_INTERFACE set), "out" (base64)}.
// Prints "ok - ..." or "not ok - ..." for each kind of answer and ends with
// "api: N passed, M failed"; exit status 0 when all passed.
'use strict';
const fs = require('fs');
const path = require('path');
const Ajv2020 = require('ajv/dist/2020');

const dir = process.argv[2];
if (!dir) {
  console.error('usage: validate.js CAPTURE_DIR');
  process.exit(2);
}
const schema = JSON.parse(fs.readFileSync(path.join(__dirname, '../../docs/api.schema.json'), 'utf8'));
const ajv = new Ajv2020({ allErrors: true, strict: true });
const validate = ajv.compile(schema);
const statusOrder = schema.$defs.status_fields.required;

// The query as credvane reads it: raw segments between "&", a key counts at a segment's
// start followed by "=", "&" or the end; the first "key=" segment gives the value.
function queryHas(q, key) {
  return q.split('&').some((s) => s === key || s.startsWith(key + '='));
}
function queryValue(q, key) {
  const s = q.split('&').find((seg) => seg.startsWith(key + '='));
  return s === undefined ? '' : s.slice(key.length + 1);
}

// Which answer a run must give: a discovery line, or a CGI answer to the action (null: the page).
function kindOf(rec) {
  const first = rec.args.length > 0 ? rec.args[0] : null;
  if (rec.meta || (!rec.gateway && first === '--meta')) return { kind: 'meta' };
  if (!rec.gateway && (first === '--version' || first === '-v')) return { kind: 'version' };
  if (!rec.gateway && first === '--check') return { kind: 'check' };
  const q = rec.query === null ? '' : rec.query;
  if (!queryHas(q, 'action') && !queryHas(q, 'format')) return { kind: 'cgi', action: null };
  return { kind: 'cgi', action: queryValue(q, 'action') };
}

function group(action) {
  if (action === null) return 'page';
  if (action === '' || action === 'status' || action === 'accounts') return 'status';
  if (['start', 'poll', 'cancel', 'refresh', 'logout'].includes(action)) return action;
  return 'unknown action';
}

const utf8 = new TextDecoder('utf-8', { fatal: true });

// Returns the problems of one record, [] when its answer is sound; puts its group in out.
function check(rec, out) {
  const raw = Buffer.from(rec.out, 'base64');
  let text;
  try {
    text = utf8.decode(raw);
  } catch {
    return ['the answer is not well-formed UTF-8'];
  }
  const k = kindOf(rec);
  if (k.kind === 'meta') {
    out.group = 'discovery';
    return text === '{"name":"codex","desc":"Codex login"}\n' ? [] : ['not the meta line'];
  }
  if (k.kind === 'version') {
    out.group = 'discovery';
    return /^credvane \d+\.\d+\.\d+\n$/.test(text) ? [] : ['not the version line'];
  }
  if (k.kind === 'check') {
    // The operator's self-check: a report for a shell, or one JSON document with --json.
    out.group = 'check';
    if (rec.args.includes('--json')) {
      let doc;
      try {
        doc = JSON.parse(text);
      } catch {
        return ['the check document is not JSON'];
      }
      const fine = typeof doc.ok === 'boolean' && Array.isArray(doc.checks) &&
        doc.checks.every((c) => typeof c.check === 'string' && ['passed', 'warned', 'failed'].includes(c.result) &&
          typeof c.detail === 'string');
      return fine ? [] : ['the check document lacks ok, or a check its check, result or detail'];
    }
    if (/^usage: credvane --check /.test(text)) return [];
    return /\ncredvane --check: \d+ passed, \d+ warned, \d+ failed\n$/.test(text) ? [] : ['no count line ends the check'];
  }
  out.group = group(k.action);
  const split = text.indexOf('\r\n\r\n');
  if (split < 0) return ['no header block ended by an empty CR LF line'];
  const lines = text.slice(0, split).split('\r\n');
  if (lines.some((l) => l.includes('\n') || l.includes('\r'))) return ['a header line ends in a bare LF or CR'];
  let bodyText = text.slice(split + 4);
  let statusLine = null;
  let status = 200;
  if (lines[0].startsWith('Status: ')) {
    statusLine = lines.shift().slice('Status: '.length);
    const m = /^([0-9]{3}) [A-Za-z ]+$/.exec(statusLine);
    if (!m) return [`a malformed Status line: ${statusLine}`];
    status = Number(m[1]);
  }
  let body = bodyText;
  if (lines[0] === 'Content-Type: application/json; charset=utf-8') {
    if (!bodyText.endsWith('\n') || bodyText.indexOf('\n') !== bodyText.length - 1) {
      return ['a JSON body is not one line ended by one LF'];
    }
    try {
      body = JSON.parse(bodyText);
    } catch (e) {
      return [`the body is not JSON: ${e.message}`];
    }
    const keys = Object.keys(body);
    if (statusOrder.every((key) => keys.includes(key))) {
      const tail = keys.slice(keys.length - statusOrder.length);
      if (tail.join() !== statusOrder.join()) return [`the status fields are out of order: ${keys.join()}`];
    }
  }
  const exchange = { action: k.action, status, status_line: statusLine, headers: lines, body };
  if (validate(exchange)) return [];
  return validate.errors.slice(0, 6).map((e) => `${e.instancePath || '/'} ${e.message} ${JSON.stringify(e.params)}`);
}

const files = fs.existsSync(dir) ? fs.readdirSync(dir).filter((f) => f.endsWith('.json')).sort() : [];
const groups = new Map();
for (const g of ['page', 'status', 'start', 'poll', 'cancel', 'refresh', 'logout', 'unknown action', 'discovery', 'check']) {
  groups.set(g, { count: 0, bad: [] });
}
for (const f of files) {
  const rec = JSON.parse(fs.readFileSync(path.join(dir, f), 'utf8'));
  const out = { group: 'unknown action' };
  const problems = check(rec, out);
  const g = groups.get(out.group);
  g.count += 1;
  if (problems.length > 0) g.bad.push({ rec, problems });
}

let passed = 0;
let failed = 0;
for (const [name, g] of groups) {
  if (g.count > 0 && g.bad.length === 0) {
    console.log(`ok - ${name}: ${g.count} captured answers match the description`);
    passed += 1;
    continue;
  }
  failed += 1;
  if (g.count === 0) {
    console.log(`not ok - ${name}: no answer was captured (CREDVANE_ANSWER_LOG unset, or the harness no longer writes it)`);
    continue;
  }
  console.log(`not ok - ${name}: ${g.bad.length} of ${g.count} captured answers do not match`);
  for (const { rec, problems } of g.bad.slice(0, 5)) {
    console.log(`#   ${rec.test}: query ${JSON.stringify(rec.query)} args ${JSON.stringify(rec.args)}`);
    for (const p of problems) console.log(`#     ${p}`);
    console.log(`#     answer: ${JSON.stringify(Buffer.from(rec.out, 'base64').toString('utf8').slice(0, 400))}`);
  }
}
console.log(`api: ${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
