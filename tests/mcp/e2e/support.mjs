// What the end-to-end tests of kex-mcp share: the official SDK client over its stdio transport,
// with every byte of kex-mcp's standard output recorded; the test application on a desktop;
// kex-computer asked directly whether control is ready; PNG decoding.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { JSONRPCMessageSchema } from '@modelcontextprotocol/sdk/types.js';
import { PNG } from 'pngjs';

function required(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set; run these tests through ctest`);
  return value;
}

export const paths = {
  get kexMcp() { return required('KEX_MCP'); },
  get kexComputer() { return required('KEX_COMPUTER'); },
  get kexConfirm() { return required('KEX_CONFIRM'); },
  get testApp() { return required('KEX_TEST_APP'); },
  get testDesktop() { return required('KEX_MCP_TEST_DESKTOP'); },
  get confirmAgent() { return required('KEX_CONFIRM_TEST_AGENT'); },
  get sourceDir() { return required('KEX_SOURCE_DIR'); },
};

// ctest reports a test that exits with this status as skipped.
export const SKIPPED = 77;

export function skipWholeFile(reason) {
  console.log(`SKIPPED: ${reason}`);
  process.exit(SKIPPED);
}

// The lines a stream has produced, and a way to wait for the next one that matches.
export class LineWatcher {
  constructor(stream, name) {
    this.name = name;
    this.lines = [];
    this.ended = false;
    this.waiters = new Set();
    let pending = '';
    stream.setEncoding('utf8');
    stream.on('data', (chunk) => {
      pending += chunk;
      let end;
      while ((end = pending.indexOf('\n')) >= 0) {
        this.lines.push(pending.slice(0, end));
        pending = pending.slice(end + 1);
      }
      this.wake();
    });
    stream.on('end', () => {
      this.ended = true;
      this.wake();
    });
  }

  wake() {
    for (const waiter of [...this.waiters]) waiter();
  }

  // The first line from index `from` on that matches; rejects at the deadline or at the end.
  waitFor(matches, { from = 0, timeoutMs = 20000, what = 'a line' } = {}) {
    return new Promise((resolve, reject) => {
      const check = () => {
        for (let i = from; i < this.lines.length; i++) {
          if (matches(this.lines[i])) {
            finish();
            resolve({ line: this.lines[i], index: i });
            return;
          }
        }
        if (this.ended) {
          finish();
          reject(new Error(`${this.name} ended without ${what}:\n${this.lines.join('\n')}`));
        }
      };
      const timer = setTimeout(() => {
        finish();
        reject(new Error(`no ${what} from ${this.name} within ${timeoutMs} ms:\n` +
                         this.lines.join('\n')));
      }, timeoutMs);
      const finish = () => {
        clearTimeout(timer);
        this.waiters.delete(check);
      };
      this.waiters.add(check);
      check();
    });
  }
}

// The SDK's stdio transport, with every byte kex-mcp writes to its standard output kept, so a
// test can check that nothing but protocol messages ever came out.
class RecordingTransport extends StdioClientTransport {
  constructor(parameters) {
    super(parameters);
    this.stdoutBytes = [];
  }

  async start() {
    await super.start();
    // Listening beside the transport's own reader sees the same chunks; nothing can have been
    // written yet, since kex-mcp speaks only when spoken to.
    this._process.stdout.on('data', (chunk) => this.stdoutBytes.push(Buffer.from(chunk)));
  }
}

// kex-mcp started by the SDK client, connected and initialized.
export async function startServer({ args = [], env = {} } = {}) {
  const transport = new RecordingTransport({
    command: paths.kexMcp,
    args,
    env: { ...env },
    stderr: 'pipe',
  });
  const stderr = new LineWatcher(transport.stderr, 'kex-mcp standard error');
  const client = new Client({ name: 'kex-mcp-e2e', version: '1.0.0' });
  const errors = [];
  client.onerror = (error) => errors.push(error);
  await client.connect(transport);
  return { client, transport, stderr, errors };
}

// Every line kex-mcp wrote to standard output must be one JSON-RPC message; returns them.
export function protocolMessagesOnly(transport) {
  const text = Buffer.concat(transport.stdoutBytes).toString('utf8');
  assert.ok(text.endsWith('\n'), 'standard output ends inside a line');
  const lines = text.slice(0, -1).split('\n');
  return lines.map((line, index) => {
    assert.ok(line.length > 0, `line ${index + 1} of standard output is empty`);
    let parsed;
    assert.doesNotThrow(() => { parsed = JSON.parse(line); },
                        `line ${index + 1} is not JSON: ${line.slice(0, 200)}`);
    assert.ok(JSONRPCMessageSchema.safeParse(parsed).success,
              `line ${index + 1} is not a JSON-RPC message: ${line.slice(0, 200)}`);
    return parsed;
  });
}

// Ends the session as an MCP client should: close kex-mcp's input and wait for it to exit.
export async function stopServer(server) {
  const child = server.transport._process;
  const exited = child && child.exitCode === null ? once(child, 'exit') : null;
  await server.client.close();
  if (exited) {
    const [code, signal] = await exited;
    return { code, signal };
  }
  return { code: child?.exitCode ?? null, signal: null };
}

// The environment kex-mcp --private-desktop announced on standard error.
export async function privateDesktopEnvironment(stderr) {
  const { line } = await stderr.waitFor((l) => l.includes('private desktop'),
                                        { what: 'the private desktop announcement' });
  const set = {};
  const head = line.split(' (and unset:')[0];
  for (const word of head.split(' ')) {
    const match = /^([A-Z_]+)=(.*)$/.exec(word);
    if (match) set[match[1]] = match[2];
  }
  const unsetPart = /\(and unset:([^)]*)\)/.exec(line);
  const unset = unsetPart ? unsetPart[1].trim().split(/\s+/) : [];
  assert.ok(set.DISPLAY, `no DISPLAY in: ${line}`);
  return { set, unset };
}

export function childEnvironment(desktop) {
  const env = { ...process.env };
  for (const name of desktop.unset) delete env[name];
  return { ...env, ...desktop.set };
}

// kex-test-app on the desktop; resolves once it has said "ready".
export async function startTestApp(desktop, args = []) {
  const child = spawn(paths.testApp, args, {
    env: childEnvironment(desktop),
    stdio: ['ignore', 'pipe', 'ignore'],
  });
  const output = new LineWatcher(child.stdout, 'kex-test-app');
  await output.waitFor((l) => l.startsWith('ready '), { what: '"ready"' });
  return {
    child,
    output,
    async stop() {
      if (child.exitCode !== null || child.signalCode !== null) return;
      const exited = once(child, 'exit');
      child.kill('SIGTERM');
      await exited;
    },
  };
}

// Asks a kex-computer of its own on that desktop for its status.
// Whether the status offers input: control is ready and the control operations are listed (a
// build can have the monitor and the watchdog before it has the operations themselves).
export function offersControl(status) {
  return status.controlReady === true &&
      ['computer.focus', 'computer.pointer', 'computer.keyboard']
          .every((operation) => status.operations.includes(operation));
}

export async function kexComputerStatus(desktop) {
  const child = spawn(paths.kexComputer, [], {
    env: childEnvironment(desktop),
    stdio: ['pipe', 'pipe', 'ignore'],
  });
  const output = new LineWatcher(child.stdout, 'kex-computer');
  const exited = once(child, 'exit');
  child.stdin.write(JSON.stringify({ protocol: 'kex.computer.helper/v1', id: 'probe',
                                     operation: 'status', args: {} }) + '\n');
  const { line } = await output.waitFor(() => true, { what: 'a status response' });
  child.stdin.end();
  await exited;
  const response = JSON.parse(line);
  assert.equal(response.ok, true, line);
  return response.result;
}

export function textOf(result) {
  return result.content.filter((item) => item.type === 'text').map((item) => item.text).join('\n');
}

// The first element of an accessibility tree, depth first, that matches; fails when none does.
export function findElement(tree, matches) {
  const pending = [tree];
  while (pending.length > 0) {
    const element = pending.shift();
    if (matches(element)) return element;
    pending.unshift(...(element.children ?? []));
  }
  assert.fail(`no such element in ${JSON.stringify(tree)}`);
}

export function decodePng(base64) {
  return PNG.sync.read(Buffer.from(base64, 'base64'));
}

export function pixel(png, x, y) {
  const offset = (png.width * y + x) * 4;
  return [png.data[offset], png.data[offset + 1], png.data[offset + 2]];
}

export function hexColor(rgb) {
  return rgb.map((c) => c.toString(16).padStart(2, '0')).join('');
}

// The centres of the test application's buttons, OK then Cancel, in a capture of its window,
// found in the pixels: they are the narrow light areas in the first row of them below the two
// text entries (light areas across most of the width), on the window's own background colour.
export function buttonCentres(png) {
  const light = (x, y) => Math.min(...pixel(png, x, y)) >= 200;
  const runsOfRow = (y) => {
    const runs = [];
    for (let x = 0; x < png.width;) {
      if (!light(x, y)) { x++; continue; }
      const start = x;
      while (x < png.width && light(x, y)) x++;
      runs.push({ start, end: x });
    }
    return runs;
  };
  // Text entries: bands of rows that are light across most of the width, a line of text high.
  const bands = [];
  for (let y = 0; y < png.height; y++) {
    const wide = runsOfRow(y).some((r) => r.end - r.start > png.width / 2);
    if (!wide) continue;
    const last = bands[bands.length - 1];
    if (last && last.bottom === y - 1) {
      last.bottom = y;
    } else {
      bands.push({ top: y, bottom: y });
    }
  }
  const entries = bands.filter((b) => b.bottom - b.top >= 12);
  assert.ok(entries.length >= 2, `found ${entries.length} text entries in the capture`);
  const narrow = (r) => r.end - r.start >= 12 && r.end - r.start < png.width / 3;
  for (let y = entries[1].bottom + 1; y < png.height; y++) {
    const buttons = runsOfRow(y).filter(narrow);
    if (buttons.length < 2) continue;
    return buttons.slice(0, 2).map((button) => {
      // The button's height, measured along its left edge, clear of its label.
      const edge = button.start + 3;
      let bottom = y;
      while (bottom + 1 < png.height && light(edge, bottom + 1)) bottom++;
      return { x: Math.floor((button.start + button.end) / 2), y: Math.floor((y + bottom) / 2) };
    });
  }
  throw new Error('no buttons below the text entries in the capture');
}
