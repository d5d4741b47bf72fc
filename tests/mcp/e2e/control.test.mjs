// Input through the official SDK client with kex-mcp --private-desktop: a click at a pixel of a
// capture presses the test application's button exactly once, and typed text arrives. This needs
// kex-computer's control operations; while its status does not offer them the whole file is
// skipped (exit status 77, which ctest reports as skipped).
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import {
  buttonCentres, decodePng, findElement, kexComputerStatus, offersControl, privateDesktopEnvironment,
  protocolMessagesOnly, skipWholeFile, startServer, startTestApp, stopServer, textOf,
} from './support.mjs';

const title = 'kex mcp control';
let server;
let app;
let windowId;

async function call(name, args = {}) {
  const result = await server.client.callTool({ name, arguments: args });
  return result;
}

async function succeed(name, args = {}) {
  const result = await call(name, args);
  assert.notEqual(result.isError, true, `${name}: ${textOf(result)}`);
  return result;
}

// Focuses the test window and captures it: what every input starts from.
async function focusAndCapture() {
  await succeed('focus_window', { windowId });
  return succeed('capture_window', { windowId });
}

const server0 = await startServer({ args: ['--private-desktop'] });
const desktop = await privateDesktopEnvironment(server0.stderr);
const status = await kexComputerStatus(desktop);
if (!offersControl(status)) {
  await stopServer(server0);
  skipWholeFile('kex-computer does not offer control on the private desktop, so the input ' +
                'tests (a click presses the button exactly once; typed text arrives) cannot run ' +
                'until its control operations exist');
}

before(async () => {
  server = server0;
  app = await startTestApp(desktop, ['--title', title, '--size', '480x320']);
  const listing = await succeed('list_windows');
  windowId = listing.structuredContent.windows.find((w) => w.title === title).windowId;
});

after(async () => {
  if (app) await app.stop();
  if (server) await stopServer(server);
});

test('a click at a pixel of the capture presses the button exactly once', async () => {
  const capture = await focusAndCapture();
  const [ok] = buttonCentres(decodePng(capture.content[0].data));
  const before = app.output.lines.length;
  const click = await succeed('click', { captureId: capture.structuredContent.captureId, ...ok });
  assert.match(textOf(click), /Clicked once/);
  const { index } = await app.output.waitFor((l) => l === 'clicked OK',
                                              { from: before, what: '"clicked OK"' });
  // Typing afterwards is the barrier: a second press would have been reported before its text.
  const tree = await succeed('get_accessibility_tree', { windowId });
  const { elementId } = findElement(tree.structuredContent.tree, (e) => e.name === 'Text');
  const again = await focusAndCapture();
  await succeed('focus_element', { elementId, captureId: again.structuredContent.captureId });
  await succeed('type_text', { captureId: again.structuredContent.captureId, text: 'x' });
  const typed = await app.output.waitFor((l) => l === 'text x', { from: index, what: '"text x"' });
  const between = app.output.lines.slice(before, typed.index);
  assert.equal(between.filter((l) => l === 'clicked OK').length, 1, between.join('\n'));
  assert.equal(between.filter((l) => l.startsWith('button 1 ')).length, 1, between.join('\n'));
});

test('typed text arrives in the focused entry', async () => {
  const tree = await succeed('get_accessibility_tree', { windowId });
  const { elementId } = findElement(tree.structuredContent.tree, (e) => e.name === 'Text');
  const capture = await focusAndCapture();
  const captureId = capture.structuredContent.captureId;
  await succeed('focus_element', { elementId, captureId });
  // The entry holds the "x" of the test before; one Backspace takes it away (selected or not).
  const emptied = app.output.lines.length;
  await succeed('press_key', { captureId, key: 'Backspace' });
  await app.output.waitFor((l) => l === 'text ', { from: emptied, what: 'the emptied entry' });
  const before = app.output.lines.length;
  await succeed('type_text', { captureId, text: 'hello kex, ünïcode' });
  await app.output.waitFor((l) => l === 'text hello kex, ünïcode',
                           { from: before, what: 'the typed text' });
});

test('standard output held nothing but protocol messages all session long', () => {
  protocolMessagesOnly(server.transport);
  assert.deepEqual(server.errors, []);
});
