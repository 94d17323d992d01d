import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { writeFileSync } from 'node:fs';
import net from 'node:net';
import { join } from 'node:path';
import { describe, test } from 'node:test';

import {
  ACCESS_TOKEN, WEB_TOKEN, answer, baseEnvironment, sleep, startAuthority, startSupervisor,
  temporaryFolder, workspace,
} from './harness.mjs';

const ME = { user: { id: 'user-1', email: 'dev@example.test' }, memberships: [] };
const ALL_VARIABLES = [
  'PALISOR_AUTHORITY_URL', 'PALISOR_PROJECT_KEY', 'PALISOR_BRIDGE_NODE_ID',
  'PALISOR_BRIDGE_ACCESS_TOKEN', 'PALISOR_BRIDGE_WEB_TOKEN', 'PALISOR_BRIDGE_WORKSPACE_ROOT',
  'PALISOR_BRIDGE_STATE_ROOT', 'PALISOR_BRIDGE_PARENT_PID', 'PALISOR_VALIDATION_NODE_RUNTIME_MANIFEST',
];

function assertNoSecrets(run) {
  for (const secret of [WEB_TOKEN, ACCESS_TOKEN]) {
    assert.ok(!run.stdout.includes(secret), `stdout carries a token: ${run.stdout}`);
    assert.ok(!run.stderr.includes(secret), `stderr carries a token: ${run.stderr}`);
  }
}

// Exactly one error line and exit status 1, before any request. `message` is
// the text or a pattern of it.
async function expectConfigurationFailure(t, env, code, message) {
  const authority = await startAuthority(t, (request, response) => answer(response, 200, ME));
  const run = startSupervisor(t, { ...baseEnvironment(t, authority.url), ...env });
  const exit = await run.waitForExit();
  assert.deepEqual(exit, { code: 1, signal: null }, run.stdout + run.stderr);
  assert.deepEqual(run.events.map((event) => ({ ...event, message: undefined })),
    [{ event: 'validation-worker.error', code, message: undefined }]);
  (typeof message === 'string' ? assert.equal : assert.match)(run.events[0].message, message);
  assert.ok(run.stdout.endsWith('\n'));
  assert.equal(run.stderr, '');
  assert.equal(authority.requests.length, 0);
  assertNoSecrets(run);
}

describe('environment', () => {
  test('each variable the bridge sets is required, blank counts as missing', async (t) => {
    for (const [index, name] of ALL_VARIABLES.entries()) {
      await expectConfigurationFailure(t, { [name]: index % 2 === 0 ? undefined : '  ' },
        'BRIDGE_VALIDATION_ENV_MISSING', `${name} is not set`);
    }
  });

  test('an authority URL, a parent pid or a runtime manifest that is not one is refused', async (t) => {
    const folder = temporaryFolder(t);
    writeFileSync(join(folder, 'not-json.json'), '{"runtimes": [');
    writeFileSync(join(folder, 'empty.json'), '{"schemaVersion": 1, "runtimes": []}');
    const invalidUrl = ['BRIDGE_VALIDATION_ENV_INVALID', 'PALISOR_AUTHORITY_URL is not an http or https URL'];
    const invalidPid = ['BRIDGE_VALIDATION_ENV_INVALID', 'PALISOR_BRIDGE_PARENT_PID is not a process id'];
    const manifest = (name) => ({ PALISOR_VALIDATION_NODE_RUNTIME_MANIFEST: join(folder, name) });
    const invalidManifest = (message) => ['BRIDGE_VALIDATION_RUNTIME_MANIFEST_INVALID', message];
    for (const [env, code, message] of [
      [{ PALISOR_AUTHORITY_URL: 'ftp://authority.example' }, ...invalidUrl],
      [{ PALISOR_AUTHORITY_URL: 'authority.example' }, ...invalidUrl],
      ...['0', '-1', '12abc', '1.5'].map((pid) => [{ PALISOR_BRIDGE_PARENT_PID: pid }, ...invalidPid]),
      [manifest('absent.json'), ...invalidManifest('the runtime manifest cannot be read: ENOENT')],
      [manifest('not-json.json'), ...invalidManifest(/^the runtime manifest cannot be read: .*JSON/)],
      [manifest('empty.json'), ...invalidManifest('the runtime manifest names no Node.js runtime')],
    ]) {
      await expectConfigurationFailure(t, env, code, message);
    }
  });
});

describe('credentials', { concurrency: true }, () => {
  test('a refused agent token is reported as 401 once, then the executor idles without leaking tokens', async (t) => {
    const authority = await startAuthority(t, (request, response) => answer(response, 401,
      { error: { code: 'AUTH_REQUIRED', message: `token ${request.headers.authorization} is not valid` } }));
    const run = startSupervisor(t, baseEnvironment(t, authority.url));
    await run.waitForEventNamed('validation-worker.error', 10_000);
    // Still there a moment later, and it asked only once: the bridge decides
    // what happens next.
    await new Promise((resolve) => setTimeout(resolve, 1_500));
    assert.equal(run.exit, undefined);
    assert.equal(run.events.length, 1);
    assert.deepEqual(run.events, [{ event: 'validation-worker.error', code: 'AUTHORITY_HTTP_401', statusCode: 401,
      message: 'the authority answered HTTP 401 (AUTH_REQUIRED)' }]);
    assert.equal(run.stderr, '');
    assertNoSecrets(run);
    assert.deepEqual(authority.requests.map(({ method, url, headers }) => [method, url, headers.authorization,
      headers.accept]), [['GET', '/api/auth/me', `Bearer ${ACCESS_TOKEN}`, 'application/json']]);
  });

  test('a failing authority is reported once per kind of failure, then recovery and readiness', async (t) => {
    const boom = (response) => answer(response, 500, { error: { code: 'INTERNAL', message: 'boom' } });
    // A 200 answer that is not JSON does not count as accepted credentials.
    const html = (response) => {
      response.writeHead(200, { 'Content-Type': 'text/html' });
      response.end('<html>Sign in to the network</html>');
    };
    for (const [fail, code, message] of [
      [boom, 'AUTHORITY_HTTP_500', 'the authority answered HTTP 500 (INTERNAL)'],
      [html, 'AUTHORITY_INVALID_RESPONSE', 'the authority answered HTTP 200 without a JSON object'],
    ]) {
      const authority = await startAuthority(t, (request, response, n) => (n <= 2 ? fail(response)
        : answer(response, 200, ME)));
      const run = startSupervisor(t, baseEnvironment(t, authority.url));
      await run.waitForEventNamed('validation-executor.ready', 15_000);
      assert.deepEqual(run.events, [
        { event: 'validation-worker.error', code, statusCode: code === 'AUTHORITY_HTTP_500' ? 500 : 200, message },
        { event: 'validation-worker.recovered' },
        { event: 'validation-executor.ready', mappedRepoKeys: [] },
      ]);
      assert.equal(authority.requests.length, 3);
      assert.equal(run.exit, undefined);
    }
  });

  test('an unreachable authority is retried until it answers', async (t) => {
    // A port that was free a moment ago: nothing listens there until the
    // authority is started on it below.
    const probe = net.createServer();
    await new Promise((resolve) => probe.listen(0, '127.0.0.1', resolve));
    const { port } = probe.address();
    await new Promise((resolve) => probe.close(resolve));

    const run = startSupervisor(t, baseEnvironment(t, `http://127.0.0.1:${port}`));
    const error = await run.waitForEventNamed('validation-worker.error');
    assert.equal(error.code, 'AUTHORITY_UNREACHABLE');
    assert.equal(error.statusCode, undefined);
    assert.match(error.message, /ECONNREFUSED/);

    await startAuthority(t, (request, response) => answer(response, 200, ME), port);
    await run.waitForEventNamed('validation-executor.ready', 15_000);
    assert.deepEqual(run.events.map((event) => event.event), [
      'validation-worker.error', 'validation-worker.recovered', 'validation-executor.ready',
    ]);
    assert.equal(run.stderr, '');
  });
});

describe('readiness', { concurrency: true }, () => {
  test('announces the repository keys that AGENTS.md declares', async (t) => {
    const authority = await startAuthority(t, (request, response) => answer(response, 200, ME));
    const root = workspace(t, [
      '# Palisor web',
      '- projectKey: PAL',
      '- authorityOrigin: http://127.0.0.1',
      '- repository: palisor-web',
      '\t- RepoKey: `palisor-api`',
      '- repoKey: "org/tools"',
      '- REPOSITORY : palisor-web',
      '- repositoryUrl: https://git.example/palisor-web',
      '-repository: no-space',
      '- repository: two words',
      '- repository:',
      'repository: not-a-list-line',
      '* repository: another-bullet',
      '- Repository: \'docs.v2\'',
      '',
    ].join('\r\n'));
    const run = startSupervisor(t, { ...baseEnvironment(t, authority.url), PALISOR_BRIDGE_WORKSPACE_ROOT: root });
    const ready = await run.waitForEventNamed('validation-executor.ready');
    assert.deepEqual(ready, {
      event: 'validation-executor.ready',
      mappedRepoKeys: ['palisor-web', 'palisor-api', 'org/tools', 'docs.v2'],
    });
    assert.equal(run.stdout, `${JSON.stringify(ready)}\n`);
    assert.equal(run.stderr, '');

    // None without AGENTS.md or without declarations.
    for (const bare of [workspace(t), workspace(t, '- projectKey: PAL\n- authorityOrigin: http://h\n')]) {
      const other = startSupervisor(t, { ...baseEnvironment(t, authority.url), PALISOR_BRIDGE_WORKSPACE_ROOT: bare });
      assert.deepEqual((await other.waitForEventNamed('validation-executor.ready')).mappedRepoKeys, []);
    }
  });
});

describe('lifetime', { concurrency: true }, () => {
  test('SIGTERM and SIGINT end the executor at once with status 0, ready or still retrying', async (t) => {
    const authority = await startAuthority(t, (request, response) => answer(response, 200, ME));
    for (const signal of ['SIGTERM', 'SIGINT']) {
      const run = startSupervisor(t, baseEnvironment(t, authority.url));
      await run.waitForEventNamed('validation-executor.ready');
      run.child.kill(signal);
      assert.deepEqual(await run.waitForExit(2_000), { code: 0, signal: null });
    }
    const retrying = startSupervisor(t, baseEnvironment(t, 'http://127.0.0.1:9'));
    await retrying.waitForEventNamed('validation-worker.error');
    retrying.child.kill('SIGTERM');
    assert.deepEqual(await retrying.waitForExit(2_000), { code: 0, signal: null });
  });

  test('the executor stays while its parent lives and leaves within seconds once it is gone', async (t) => {
    const authority = await startAuthority(t, (request, response) => answer(response, 200, ME));
    const parent = spawn('sleep', ['60'], { stdio: 'ignore' });
    const parentExited = new Promise((resolve) => parent.on('exit', resolve));
    t.after(() => parent.kill('SIGKILL'));
    const env = { ...baseEnvironment(t, authority.url), PALISOR_BRIDGE_PARENT_PID: String(parent.pid) };
    const run = startSupervisor(t, env);
    await run.waitForEventNamed('validation-executor.ready');
    await sleep(1_500);
    assert.equal(run.exit, undefined, 'the executor left while its parent was alive');

    parent.kill('SIGKILL');
    await parentExited;
    assert.deepEqual(await run.waitForExit(3_000), { code: 0, signal: null });
    // One whose parent is already gone leaves without a word.
    const requestsBefore = authority.requests.length;
    const orphan = startSupervisor(t, env);
    assert.deepEqual(await orphan.waitForExit(3_000), { code: 0, signal: null });
    assert.equal(orphan.stdout, '');
    assert.equal(authority.requests.length, requestsBefore);
  });
});
