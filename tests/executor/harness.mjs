// Runs the built validation executor as the bridge does: the runtime link,
// the script as the only argument, its folder as working directory, the
// bridge's search path and the nine variables. The authority is a tiny
// node:http server whose answers each test scripts.
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export const resourceDir = process.env.PALISOR_BRIDGE_RESOURCE_DIR;
if (!resourceDir) {
  throw new Error('PALISOR_BRIDGE_RESOURCE_DIR must name the build\'s share/palisor-bridge folder');
}
export const executorDir = join(resourceDir, 'validation-executor');
export const supervisorPath = join(executorDir, 'supervisor.mjs');
export const manifestPath = join(resourceDir, 'validation-node-runtimes.json');
export const bridgePath = [join(resourceDir, 'runtime', 'bin'), join(resourceDir, 'runtime'),
  '/usr/bin', '/bin', '/usr/sbin', '/sbin'].join(':');
const runtimeNode = join(resourceDir, 'runtime', 'node');

export const WEB_TOKEN = 'web-token-4f9c2d7e81a3';
export const ACCESS_TOKEN = 'agent-token-b83e51c09d77';

export function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

export function temporaryFolder(t) {
  const folder = mkdtempSync(join(tmpdir(), 'palisor-executor-'));
  t.after(() => rmSync(folder, { recursive: true, force: true }));
  return folder;
}

export function workspace(t, agentsText) {
  const root = temporaryFolder(t);
  if (agentsText !== undefined) writeFileSync(join(root, 'AGENTS.md'), agentsText);
  return root;
}

// respond(request, response, n) answers the n-th request (counting from 1);
// the server listens on `port`, or on a free one.
export async function startAuthority(t, respond, port = 0) {
  const requests = [];
  const server = http.createServer((request, response) => {
    requests.push({ method: request.method, url: request.url, headers: request.headers });
    respond(request, response, requests.length);
  });
  await new Promise((resolve) => server.listen(port, '127.0.0.1', resolve));
  const close = () => new Promise((resolve) => {
    server.closeAllConnections();
    server.close(() => resolve());
  });
  t.after(close);
  return { url: `http://127.0.0.1:${server.address().port}`, port: server.address().port, requests, close };
}

export function answer(response, status, body) {
  const text = typeof body === 'string' ? body : JSON.stringify(body);
  response.writeHead(status, { 'Content-Type': 'application/json' });
  response.end(text);
}

export function baseEnvironment(t, authorityUrl) {
  return {
    PALISOR_AUTHORITY_URL: authorityUrl,
    PALISOR_PROJECT_KEY: 'PAL',
    PALISOR_BRIDGE_NODE_ID: 'node-7d0c',
    PALISOR_BRIDGE_ACCESS_TOKEN: ACCESS_TOKEN,
    PALISOR_BRIDGE_WEB_TOKEN: WEB_TOKEN,
    PALISOR_BRIDGE_WORKSPACE_ROOT: workspace(t),
    PALISOR_BRIDGE_STATE_ROOT: temporaryFolder(t),
    PALISOR_BRIDGE_PARENT_PID: String(process.pid),
    PALISOR_VALIDATION_NODE_RUNTIME_MANIFEST: manifestPath,
  };
}

// The child is killed when the test ends, whatever happened.
export function startSupervisor(t, env) {
  const node = existsSync(runtimeNode) ? runtimeNode : process.execPath;
  const child = spawn(node, [supervisorPath], {
    cwd: executorDir,
    env: { PATH: bridgePath, ...env },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const run = { child, stdout: '', stderr: '', events: [] };
  const waiters = new Set();
  const notify = () => {
    for (const waiter of waiters) waiter();
  };
  child.stdout.setEncoding('utf8');
  child.stderr.setEncoding('utf8');
  child.stdout.on('data', (text) => {
    run.stdout += text;
    const complete = run.stdout.slice(0, run.stdout.lastIndexOf('\n') + 1);
    run.events = complete.split('\n').filter((line) => line !== '').map((line) => JSON.parse(line));
    notify();
  });
  child.stderr.on('data', (text) => {
    run.stderr += text;
  });
  child.on('exit', (code, signal) => {
    run.exit = { code, signal };
    notify();
  });

  // Resolves with what `found` returns once it is defined; rejects when the
  // time runs out, or when the child exits first unless `found` is about the exit.
  const until = (found, timeoutMs, what) => new Promise((resolve, reject) => {
    const finish = (settle) => {
      clearTimeout(timer);
      waiters.delete(check);
      settle();
    };
    const fail = (why) => finish(() => reject(new Error(`${why}; stdout: ${run.stdout} stderr: ${run.stderr}`)));
    const check = () => {
      const value = found();
      if (value !== undefined) return finish(() => resolve(value));
      return run.exit ? fail(`the executor exited (${JSON.stringify(run.exit)}) first`) : undefined;
    };
    const timer = setTimeout(() => fail(`${what} within ${timeoutMs} ms`), timeoutMs);
    waiters.add(check);
    check();
  });
  run.waitForEvent = (predicate, timeoutMs = 10_000) => until(() => run.events.find(predicate), timeoutMs,
    'no such event');
  run.waitForEventNamed = (name, timeoutMs) => run.waitForEvent((event) => event.event === name, timeoutMs);
  run.waitForExit = (timeoutMs = 10_000) => until(() => run.exit, timeoutMs, 'the executor did not exit');

  t.after(async () => {
    if (!run.exit) {
      child.kill('SIGKILL');
      await run.waitForExit();
    }
  });
  return run;
}
