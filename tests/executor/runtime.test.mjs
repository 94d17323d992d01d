// What the build put into share/palisor-bridge: the runtime links and manifest
// made from the machine's Node.js and npm.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { accessSync, constants, lstatSync, readFileSync, readlinkSync, realpathSync } from 'node:fs';
import { isAbsolute, join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { test } from 'node:test';

import { bridgePath, executorDir, manifestPath, resourceDir } from './harness.mjs';

test('the runtime links lead to the Node.js and npm the manifest names, and both run', async () => {
  const manifest = JSON.parse(readFileSync(manifestPath, 'utf8'));
  assert.equal(manifest.schemaVersion, 1);
  assert.equal(manifest.runtimes.length, 1);
  const [runtime] = manifest.runtimes;

  for (const [link, named] of [[join(resourceDir, 'runtime', 'node'), runtime.node],
                               [join(resourceDir, 'runtime', 'bin', 'npm'), runtime.npm]]) {
    assert.ok(lstatSync(link).isSymbolicLink(), `${link} is not a symbolic link`);
    const target = readlinkSync(link);
    assert.ok(isAbsolute(target), `${link} points to the relative ${target}`);
    assert.equal(target, named.path);
    assert.equal(realpathSync(target), target, 'the manifest names a path that is not real');
    accessSync(link, constants.X_OK);
  }

  // Run as the bridge runs them: npm finds node through the runtime folders.
  const env = { PATH: bridgePath, HOME: process.env.HOME ?? '/tmp', NO_UPDATE_NOTIFIER: '1' };
  const nodeVersion = execFileSync(join(resourceDir, 'runtime', 'node'), ['--version'], { env, encoding: 'utf8' });
  assert.equal(nodeVersion.trim(), runtime.node.version);
  assert.match(runtime.node.version, /^v\d+\.\d+\.\d+/);
  const npmVersion = execFileSync(join(resourceDir, 'runtime', 'bin', 'npm'), ['--version'], { env, encoding: 'utf8' });
  assert.equal(npmVersion.trim(), runtime.npm.version);

  // The executor accepts what the build wrote.
  const { readRuntimeManifest } = await import(pathToFileURL(join(executorDir, 'environment.mjs')).href);
  assert.deepEqual(readRuntimeManifest(manifestPath), manifest);
});
