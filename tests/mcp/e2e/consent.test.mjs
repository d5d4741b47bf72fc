// Approval on a display kex-mcp did not bring up itself: kex-mcp runs the real kex-confirm (as an
// ordinary user) against polkitd on the system bus, and a scripted authentication agent stands
// in for the person, as in kex-confirm's own tests. A declined approval leaves the application
// untouched; an approved one lets the click through.
//
// Runs as root (it starts the system bus when none runs, installs kex-confirm's polkit action
// and sets a test user's password) and alone (the system bus it may start sits at the standard
// path). It needs kex-computer's control operations: while status does not offer them the whole
// file is skipped (exit status 77, which ctest reports as skipped).
import assert from 'node:assert/strict';
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import { randomBytes } from 'node:crypto';
import { once } from 'node:events';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import {
  buttonCentres, childEnvironment, decodePng, kexComputerStatus, LineWatcher, offersControl, paths,
  protocolMessagesOnly, skipWholeFile, startServer, startTestApp, stopServer, textOf,
} from './support.mjs';

const testUser = 'kex-confirm-test';
const systemBusSocket = '/run/dbus/system_bus_socket';
const title = 'kex mcp consent';

if (process.getuid() !== 0) skipWholeFile('the approval tests set up polkit and run as root');

// The desktop: one kex-mcp did not bring up, so it must ask before any input.
const fixture = spawn(paths.testDesktop, [], { stdio: ['pipe', 'pipe', 'inherit'] });
const fixtureOutput = new LineWatcher(fixture.stdout, 'kex_mcp_test_desktop');
const desktop = JSON.parse((await fixtureOutput.waitFor(() => true, { what: 'the desktop' })).line);

async function endFixture() {
  if (fixture.exitCode !== null) return;
  const exited = once(fixture, 'exit');
  fixture.stdin.end();
  await exited;
}

if (!offersControl(await kexComputerStatus(desktop))) {
  await endFixture();
  skipWholeFile('kex-computer does not offer control, so kex-mcp never asks for approval ' +
                'and no input can be checked; these tests (a declined approval leaves the ' +
                'application untouched, an approved one lets the click through) run once its ' +
                'control operations exist');
}

function systemBusAnswers() {
  return new Promise((resolve) => {
    const probe = net.connect(systemBusSocket);
    probe.on('connect', () => { probe.destroy(); resolve(true); });
    probe.on('error', () => resolve(false));
  });
}

function run(argv, input) {
  const result = spawnSync(argv[0], argv.slice(1), { input, encoding: 'utf8' });
  assert.equal(result.status, 0, `${argv.join(' ')}: ${result.stderr}`);
  return result.stdout;
}

let systemBus = null;
let password;
let scratch;
let server;
let app;
let windowId;

// A system bus, kex-confirm's action known to polkitd, and a user with a password only this run
// knows.
async function preparePolkit() {
  if (!(await systemBusAnswers())) {
    fs.mkdirSync('/run/dbus', { recursive: true });
    systemBus = spawn('/usr/bin/dbus-daemon',
                      ['--system', '--nofork', '--nopidfile', '--print-address=1'],
                      { stdio: ['ignore', 'pipe', 'ignore'] });
    await new LineWatcher(systemBus.stdout, 'the system bus')
      .waitFor((l) => l.startsWith('unix:'), { what: 'its address' });
  }
  run(['/bin/bash', path.join(paths.sourceDir, 'scripts/install-polkit-action.sh')]);
  if (spawnSync('id', [testUser]).status !== 0) {
    run(['/usr/sbin/useradd', '--no-create-home', '--shell', '/usr/sbin/nologin', testUser]);
  }
  password = `Kx-${randomBytes(12).toString('hex')}`;
  run(['/usr/sbin/chpasswd'], `${testUser}:${password}\n`);
  // polkitd starts on the first question and reads the action files then; one that runs
  // already picks a new file up on its own. Either way the action is listed within moments.
  const deadline = Date.now() + 15000;
  while (spawnSync('pkaction', ['--action-id', 'org.kex.confirm.approve']).status !== 0) {
    assert.ok(Date.now() < deadline, 'polkitd never listed org.kex.confirm.approve');
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

// kex-confirm as the test user, held until the agent is registered for its very process: it
// writes its pid into one fifo and waits on the other.
function writeConfirmWrapper() {
  scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'kex-mcp-consent-'));
  fs.chmodSync(scratch, 0o755);
  const pidFifo = path.join(scratch, 'pid');
  const goFifo = path.join(scratch, 'go');
  for (const fifo of [pidFifo, goFifo]) {
    execFileSync('mkfifo', ['-m', '0666', fifo]);
  }
  const uid = run(['id', '-u', testUser]).trim();
  const gid = run(['id', '-g', testUser]).trim();
  const wrapper = path.join(scratch, 'confirm.sh');
  fs.writeFileSync(wrapper, [
    '#!/bin/sh',
    `exec setpriv --reuid=${uid} --regid=${gid} --clear-groups /bin/sh -c ` +
      `'echo $$ > "$0"; read go < "$1"; exec "$2"' ${pidFifo} ${goFifo} ${paths.kexConfirm}`,
    '',
  ].join('\n'), { mode: 0o755 });
  return { wrapper, pidFifo, goFifo };
}

let fifos;

// Waits for kex-mcp to start kex-confirm, registers an agent that answers as told, and lets
// kex-confirm go on. Resolves once the agent has answered; the agent must live on until
// kex-confirm has its reply from polkitd, so it is ended with end() after the call returned.
async function answerPrompt(answer) {
  const pid = Number.parseInt(await fs.promises.readFile(fifos.pidFifo, 'utf8'), 10);
  const agent = spawn(paths.confirmAgent, ['--process', String(pid), '--answer', answer],
                      { stdio: ['pipe', 'pipe', 'inherit'] });
  agent.stdin.end(`${password}\n`);
  const report = new LineWatcher(agent.stdout, 'the test agent');
  await report.waitFor((l) => l === 'registered', { what: '"registered"' });
  await fs.promises.writeFile(fifos.goFifo, 'go\n');
  await report.waitFor((l) => l === 'dismissed' || l.startsWith('completed'),
                       { what: 'its answer' });
  return {
    lines: report.lines,
    async end() {
      const exited = once(agent, 'exit');
      agent.kill('SIGTERM');
      await exited;
    },
  };
}

before(async () => {
  await preparePolkit();
  fifos = writeConfirmWrapper();
  server = await startServer({
    args: ['--confirm', fifos.wrapper],
    env: childEnvironment(desktop),
  });
  app = await startTestApp(desktop, ['--title', title, '--size', '480x320']);
  const listing = await server.client.callTool({ name: 'list_windows', arguments: {} });
  windowId = listing.structuredContent.windows.find((w) => w.title === title).windowId;
});

after(async () => {
  if (app) await app.stop();
  if (server) await stopServer(server);
  await endFixture();
  if (systemBus) {
    const exited = once(systemBus, 'exit');
    systemBus.kill('SIGTERM');
    await exited;
  }
  if (scratch) fs.rmSync(scratch, { recursive: true, force: true });
});

async function captureButtons() {
  const capture = await server.client.callTool({ name: 'capture_window',
                                                 arguments: { windowId } });
  assert.notEqual(capture.isError, true, textOf(capture));
  const [ok, cancel] = buttonCentres(decodePng(capture.content[0].data));
  return { captureId: capture.structuredContent.captureId, ok, cancel };
}

test('a declined approval sends nothing, and an approved one lets the click through', async () => {
  const before = app.output.lines.length;
  const first = await captureButtons();
  const declinedCall = server.client.callTool({ name: 'click',
                                                arguments: { captureId: first.captureId,
                                                             ...first.ok } });
  const declinedPrompt = await answerPrompt('cancel');
  const declined = await declinedCall;
  await declinedPrompt.end();
  assert.equal(declined.isError, true);
  assert.match(textOf(declined), /declined to approve control, so nothing was sent/);
  assert.deepEqual(declinedPrompt.lines.slice(1),
                   ['request org.kex.confirm.approve Approve this request in Kex', 'dismissed']);

  // The next input asks again; approved, it goes through. Its press is the barrier: anything
  // the declined click had sent would have reached the application before it.
  const focusCall = server.client.callTool({ name: 'focus_window', arguments: { windowId } });
  const approvedPrompt = await answerPrompt('password');
  const focus = await focusCall;
  await approvedPrompt.end();
  assert.ok(approvedPrompt.lines.includes('completed 1'), approvedPrompt.lines.join('\n'));
  assert.notEqual(focus.isError, true, textOf(focus));
  const third = await captureButtons();
  const click = await server.client.callTool({ name: 'click',
                                               arguments: { captureId: third.captureId,
                                                            ...third.cancel } });
  assert.notEqual(click.isError, true, textOf(click));
  const { index } = await app.output.waitFor((l) => l === 'clicked Cancel',
                                              { from: before, what: '"clicked Cancel"' });
  const seen = app.output.lines.slice(before, index + 1);
  assert.equal(seen.filter((l) => l.startsWith('clicked')).length, 1, seen.join('\n'));
  assert.equal(seen.filter((l) => l.startsWith('button')).length, 1, seen.join('\n'));
});

test('standard output held nothing but protocol messages all session long', () => {
  protocolMessagesOnly(server.transport);
  assert.deepEqual(server.errors, []);
});
