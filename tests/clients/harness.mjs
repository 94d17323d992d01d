// What every client test needs: the development authority with its demo
// project, a workspace that points at it, registered and logged in through
// the command line, and `palisor-bridge serve` on a free port, all with
// folders of their own. The built programs come from CTest:
//   PALISOR_TEST_BRIDGE_EXECUTABLE         build/bin/palisor-bridge
//   PALISOR_TEST_DEV_AUTHORITY_EXECUTABLE  build/bin/palisor-dev-authority
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { mkdir, mkdtemp, rm, writeFile } from 'node:fs/promises';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';

function program(variable) {
  const path = process.env[variable];
  if (!path) throw new Error(`${variable} is not set: these tests run under CTest (scripts/test)`);
  return path;
}

export const bridgeExecutable = program('PALISOR_TEST_BRIDGE_EXECUTABLE');
export const devAuthorityExecutable = program('PALISOR_TEST_DEV_AUTHORITY_EXECUTABLE');

// The account and project the development authority's demo seed makes.
const demo = { email: 'demo@palisor.dev', password: 'demo-password', projectKey: 'DEMO' };

// The test's own environment without any setting of ours or any XDG folder:
// the programs must see only what the test gives them.
export function cleanEnvironment() {
  const env = {};
  for (const [name, value] of Object.entries(process.env)) {
    if (!name.startsWith('PALISOR_') && !name.startsWith('XDG_')) env[name] = value;
  }
  return env;
}

export async function freePort() {
  const server = net.createServer();
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  const { port } = server.address();
  server.close();
  await once(server, 'close');
  return port;
}

// A child whose standard output and error are collected, so that a test can
// wait for a line and a failure can show what the program said.
function startProgram(path, args, env) {
  const child = spawn(path, args, { env, stdio: ['pipe', 'pipe', 'pipe'] });
  child.output = '';
  child.ended = null;
  // "close" comes after the last of the output has been read.
  const closed = once(child, 'close').then(([code, signal]) => { child.ended = `ended (${code ?? signal})`; });
  child.on('error', (error) => { child.ended = error.message; });
  child.stdout.setEncoding('utf8').on('data', (text) => { child.output += text; });
  child.stderr.setEncoding('utf8').on('data', (text) => { child.output += text; });
  child.stopped = async () => {
    if (child.exitCode === null && child.signalCode === null && child.ended === null) {
      child.kill('SIGTERM');
      const killer = setTimeout(() => child.kill('SIGKILL'), 5000);
      await closed;
      clearTimeout(killer);
    }
  };
  return child;
}

// The first match of `pattern` in the child's output; fails when the child
// ends or `limit` ms pass first.
async function waitForOutput(child, pattern, limit = 15000) {
  for (const deadline = Date.now() + limit; ; await sleep(20)) {
    const match = child.output.match(pattern);
    if (match) return match;
    const why = child.ended ?? (Date.now() > deadline ? `no ${pattern} within ${limit} ms` : null);
    if (why) throw new Error(`${child.spawnargs.join(' ')}: ${why} first; its output:\n${child.output}`);
  }
}

// One command to completion; its exit status must be 0.
async function runCommand(path, args, env, input = '') {
  const child = startProgram(path, args, env);
  // A command that does not read its input may have ended before it is written.
  child.stdin.on('error', (error) => { if (error.code !== 'EPIPE') throw error; });
  child.stdin.end(input);
  const [code, signal] = await once(child, 'close');
  assert.equal(code, 0, `${path} ${args.join(' ')} ended with ${code ?? signal}:\n${child.output}`);
  return child.output;
}

// Starts everything for one test and stops it when the test ends. Resolves
// with the endpoint's URL and port and the environment the bridge runs with
// (its PALISOR_BRIDGE_PORT names that port), for `palisor-bridge stdio`.
export async function startBridge(t) {
  const root = await mkdtemp(join(tmpdir(), 'palisor-clients-'));
  const children = [];
  t.after(async () => {
    for (const child of children.reverse()) await child.stopped();
    await rm(root, { recursive: true, force: true });
  });

  const authority = startProgram(devAuthorityExecutable, ['--port', '0', '--seed', 'demo'], cleanEnvironment());
  children.push(authority);
  const [, origin] = await waitForOutput(authority, /^listening (http:\/\/127\.0\.0\.1:\d+)$/m);

  const folders = {};
  for (const name of ['home', 'config', 'data', 'cache', 'runtime', 'workspace']) {
    folders[name] = join(root, name);
    await mkdir(folders[name], { mode: 0o700 });
  }
  await writeFile(join(folders.workspace, 'AGENTS.md'),
    `# Client test workspace\n\n- projectKey: ${demo.projectKey}\n- authorityOrigin: ${origin}\n`);

  const env = {
    ...cleanEnvironment(),
    HOME: folders.home,
    XDG_CONFIG_HOME: folders.config,
    XDG_DATA_HOME: folders.data,
    XDG_CACHE_HOME: folders.cache,
    XDG_RUNTIME_DIR: folders.runtime,
    PALISOR_BRIDGE_AUTHORITY: origin,
    PALISOR_BRIDGE_CREDENTIAL_FILE: join(root, 'credentials.json'),
    PALISOR_BRIDGE_DISABLE_VALIDATION_EXECUTOR: '1',
  };
  await runCommand(bridgeExecutable, ['workspace', 'add', folders.workspace, '--default'], env);
  await runCommand(bridgeExecutable, ['login', '--email', demo.email, '--password-stdin'], env, `${demo.password}\n`);

  // Another program may take the free port before the bridge binds it: try
  // another one then.
  for (let attempt = 1; ; ++attempt) {
    const port = await freePort();
    const serveEnv = { ...env, PALISOR_BRIDGE_PORT: String(port) };
    const bridge = startProgram(bridgeExecutable, ['serve'], serveEnv);
    children.push(bridge);
    try {
      // The session is read before the status line names the endpoint.
      await waitForOutput(bridge, new RegExp(`^Đã đăng nhập\\. Bridge đang chạy tại http://127\\.0\\.0\\.1:${port}/mcp`, 'm'));
    } catch (error) {
      if (attempt < 3 && bridge.output.includes('BIND_FAILED')) continue;
      throw error;
    }
    return { url: new URL(`http://127.0.0.1:${port}/mcp`), port, env: serveEnv, workspace: folders.workspace };
  }
}

// The JSON value a tool answered with: its one text item, laid out as the
// bridge's own tests pin it.
export function toolValue(result) {
  return JSON.parse(result.content[0].text);
}

// What an agent does first on a connected client, through whichever
// transport: the catalogue, the project's bootstrap (with the session `login`
// stored and the workspace `workspace add` registered), and a work event the
// authority records. The bridge's answers otherwise, refusals included, are
// pinned by its own tests.
export async function exerciseTools(client) {
  // The names and schemas are pinned by the tool contract's own tests; the
  // client must read all seven.
  const { tools } = await client.listTools();
  assert.equal(tools.length, 7);

  const bootstrap = toolValue(await client.callTool({ name: 'authority_bootstrap', arguments: {} }));
  assert.deepEqual({ ok: bootstrap.ok, key: bootstrap.project.key }, { ok: true, key: demo.projectKey });

  const event = {
    idempotencyKey: `client-test-${process.pid}-${Date.now()}`,
    kind: 'decision',
    eventType: 'agent.decision',
    outcome: 'succeeded',
    summary: 'Kept the redirect on the same origin.',
  };
  const logged = toolValue(await client.callTool({ name: 'authority_log_work_event', arguments: { event } }));
  assert.equal(logged.ok, true, JSON.stringify(logged));
  assert.match(logged.eventId, /^evt-/);
}
