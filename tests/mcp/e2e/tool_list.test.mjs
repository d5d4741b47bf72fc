// kex-mcp's tool list as the official SDK client receives it, with no desktop at all: the client
// validates every tool against its own schemas, and every input and output schema must compile
// as JSON Schema.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import Ajv2020 from 'ajv/dist/2020.js';
import { LATEST_PROTOCOL_VERSION } from '@modelcontextprotocol/sdk/types.js';
import { protocolMessagesOnly, startServer, stopServer, textOf } from './support.mjs';

let server;

before(async () => {
  // No DISPLAY: the tool list needs none, and a call then meets kex-computer without a desktop.
  server = await startServer({ env: { DISPLAY: '' } });
});

after(async () => {
  if (server) await stopServer(server);
});

test('the tool list passes the SDK client\'s validation and names every tool once', async () => {
  const { tools } = await server.client.listTools();
  const names = tools.map((tool) => tool.name);
  assert.deepEqual([...names].sort(), [
    'capture_display', 'capture_window', 'click', 'double_click', 'drag', 'focus_element',
    'focus_window', 'get_accessibility_tree', 'list_displays', 'list_windows', 'move_pointer',
    'press_element', 'press_key', 'scroll', 'type_text',
  ]);
});

test('every input and output schema compiles as strict JSON Schema', async () => {
  const { tools } = await server.client.listTools();
  const ajv = new Ajv2020({ strict: true, allErrors: true });
  for (const tool of tools) {
    assert.equal(tool.inputSchema.type, 'object', tool.name);
    assert.doesNotThrow(() => ajv.compile(tool.inputSchema), `input schema of ${tool.name}`);
    if (tool.outputSchema) {
      assert.doesNotThrow(() => ajv.compile(tool.outputSchema), `output schema of ${tool.name}`);
    }
  }
});

test('annotations say honestly which tools only look', async () => {
  const { tools } = await server.client.listTools();
  const observation = new Set(['list_windows', 'list_displays', 'capture_window',
                               'capture_display', 'get_accessibility_tree']);
  for (const tool of tools) {
    assert.equal(tool.annotations.readOnlyHint, observation.has(tool.name), tool.name);
    assert.equal(Boolean(tool.outputSchema), observation.has(tool.name), tool.name);
    assert.ok(tool.title, tool.name);
  }
  const capture = tools.find((tool) => tool.name === 'capture_window');
  assert.match(capture.description, /30 seconds/);
  assert.match(capture.description, /pixels of that image/);
});

test('the newest revision kex-mcp speaks is negotiated with a newer client', async () => {
  assert.notEqual(LATEST_PROTOCOL_VERSION, '2025-06-18', 'the SDK asks for a newer revision');
  const initialize = protocolMessagesOnly(server.transport).find((m) => m.result?.protocolVersion);
  assert.equal(initialize.result.protocolVersion, '2025-06-18');
  assert.equal(server.client.getServerVersion().name, 'kex-mcp');
  assert.match(server.client.getInstructions(), /untrusted/);
});

test('without a desktop a call is an error result that says so', async () => {
  const result = await server.client.callTool({ name: 'list_windows', arguments: {} });
  assert.equal(result.isError, true);
  assert.match(textOf(result), /no usable desktop session/);
});

test('a call with arguments that break the schema is a protocol error', async () => {
  await assert.rejects(
    server.client.callTool({ name: 'capture_window', arguments: { windowId: 7 } }),
    (error) => error.code === -32602 && /windowId/.test(error.message));
});

test('standard output held protocol messages only', () => {
  protocolMessagesOnly(server.transport);
  assert.deepEqual(server.errors, []);
});
