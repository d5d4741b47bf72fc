// A whole observation session through the official SDK client with kex-mcp --private-desktop and
// the GTK test application on it: listing, window and display captures that decode to the size
// they state, the accessibility tree, and ids that went stale.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import {
  decodePng, findElement, hexColor, pixel, privateDesktopEnvironment, protocolMessagesOnly, startServer,
  startTestApp, stopServer, textOf,
} from './support.mjs';

const title = 'kex mcp observation';
const color = '2a6f97';
let server;
let app;
let windowId;

async function call(name, args = {}) {
  return server.client.callTool({ name, arguments: args });
}

async function listTestWindow() {
  const listing = await call('list_windows');
  assert.equal(listing.isError, undefined, textOf(listing));
  const window = listing.structuredContent.windows.find((w) => w.title === title);
  assert.ok(window, `the test window is not listed: ${textOf(listing)}`);
  return window;
}

before(async () => {
  server = await startServer({ args: ['--private-desktop'] });
  const desktop = await privateDesktopEnvironment(server.stderr);
  app = await startTestApp(desktop, ['--title', title, '--color', color, '--size', '480x320']);
  windowId = (await listTestWindow()).windowId;
});

after(async () => {
  if (app) await app.stop();
  if (!server) return;
  const ending = await stopServer(server);
  // Shutting down writes nothing either, and ends cleanly once the input is closed.
  protocolMessagesOnly(server.transport);
  assert.deepEqual(ending, { code: 0, signal: null });
});

test('the test window is listed with its title, application and frame', async () => {
  const window = await listTestWindow();
  assert.equal(window.application, 'Kex-test-app');
  assert.ok(window.width >= 480 && window.height >= 320, JSON.stringify(window));
  windowId = window.windowId;
});

test('a window capture is a PNG that decodes to the size it states, showing the window', async () => {
  const capture = await call('capture_window', { windowId });
  assert.equal(capture.isError, undefined, textOf(capture));
  const [image, words] = capture.content;
  assert.equal(image.type, 'image');
  assert.equal(image.mimeType, 'image/png');
  assert.equal(words.type, 'text');
  const png = decodePng(image.data);
  const facts = capture.structuredContent;
  assert.equal(png.width, facts.width);
  assert.equal(png.height, facts.height);
  assert.match(words.text, new RegExp(`${facts.width}x${facts.height} pixels`));
  assert.match(words.text, new RegExp(facts.captureId));
  assert.equal(facts.windowId, windowId);
  assert.equal(facts.validForSeconds, 30);
  // The lower right of the client area shows nothing but the window's background colour.
  assert.equal(hexColor(pixel(png, png.width - 30, png.height - 30)), color);
});

test('a smaller maxWidth gives a smaller image, still as stated', async () => {
  const capture = await call('capture_window', { windowId, maxWidth: 200 });
  const png = decodePng(capture.content[0].data);
  assert.equal(png.width, 200);
  assert.equal(png.width, capture.structuredContent.width);
  assert.equal(png.height, capture.structuredContent.height);
});

test('a display capture decodes to its stated size and is for looking only', async () => {
  const displays = await call('list_displays');
  const [display] = displays.structuredContent.displays;
  assert.equal(display.pixelWidth, 1280);
  const capture = await call('capture_display', { displayId: display.displayId });
  assert.equal(capture.isError, undefined, textOf(capture));
  const png = decodePng(capture.content[0].data);
  assert.deepEqual([png.width, png.height], [1024, 640]);
  assert.deepEqual([capture.structuredContent.width, capture.structuredContent.height], [1024, 640]);
  assert.equal(capture.structuredContent.captureId, undefined);
  assert.match(textOf(capture), /looking only/);
});

test('the accessibility tree shows the buttons and hides the password field', async () => {
  const result = await call('get_accessibility_tree', { windowId });
  assert.equal(result.isError, undefined, textOf(result));
  const { tree } = result.structuredContent;
  const ok = findElement(tree, (e) => e.role === 'push button' && e.name === 'OK');
  assert.ok(ok.elementId);
  assert.equal(ok.enabled, true);
  const secret = findElement(tree, (e) => e.protected);
  assert.deepEqual(secret, { role: 'password text', protected: true });
});

test('a capture id nobody handed out is refused with the explanation', async () => {
  const result = await call('click', { captureId: 'made-up-capture', x: 10, y: 10 });
  assert.equal(result.isError, true);
  assert.match(textOf(result), /captures expire 30 seconds after they are taken/);
  assert.match(textOf(result), /Capture the window again/);
});

test('a capture id voided by a new listing is refused with the explanation', async () => {
  const capture = await call('capture_window', { windowId });
  const { captureId } = capture.structuredContent;
  windowId = (await listTestWindow()).windowId;
  const result = await call('double_click', { captureId, x: 10, y: 10 });
  assert.equal(result.isError, true);
  assert.match(textOf(result), /can no longer drive input/);
  assert.equal(app.output.lines.filter((l) => l.startsWith('button')).length, 0);
});

test('a window id from an earlier listing is refused with the explanation', async () => {
  const stale = windowId;
  windowId = (await listTestWindow()).windowId;
  assert.notEqual(stale, windowId);
  const result = await call('capture_window', { windowId: stale });
  assert.equal(result.isError, true);
  assert.match(textOf(result), /windowId is no longer valid/);
});

test('standard output held nothing but protocol messages all session long', () => {
  const messages = protocolMessagesOnly(server.transport);
  assert.ok(messages.length >= 12, `only ${messages.length} messages`);
  assert.deepEqual(server.errors, []);
});
