// `palisor-bridge stdio` driven by the official MCP client library's stdio
// transport, as agents that start their servers as programs drive it.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

import { bridgeExecutable, cleanEnvironment, exerciseTools, freePort, startBridge } from './harness.mjs';

function relayTransport(env) {
  const transport = new StdioClientTransport({ command: bridgeExecutable, args: ['stdio'], env, stderr: 'pipe' });
  transport.errorOutput = '';
  transport.stderr.setEncoding('utf8').on('data', (text) => { transport.errorOutput += text; });
  return transport;
}

test('initializes and calls the tools through the stdio relay', { timeout: 30000 }, async (t) => {
  const bridge = await startBridge(t);
  const transport = relayTransport(bridge.env);
  const client = new Client({ name: 'palisor-client-test', version: '1.0.0' });
  const errors = [];
  client.onerror = (error) => errors.push(error);
  t.after(() => client.close());
  await client.connect(transport);

  assert.equal(client.getServerVersion().name, 'palisor-bridge-native');
  assert.deepEqual(client.getServerCapabilities(), { tools: {} });
  await exerciseTools(client);
  // Nothing the relay wrote was out of place: no answer to the
  // notification, no line the client could not read.
  assert.deepEqual(errors, [], transport.errorOutput);
});

test('without a running bridge the relay answers the initialize with BRIDGE_NOT_RUNNING', { timeout: 30000 }, async (t) => {
  const env = { ...cleanEnvironment(), PALISOR_BRIDGE_PORT: String(await freePort()) };
  const client = new Client({ name: 'palisor-client-test', version: '1.0.0' });
  t.after(() => client.close());
  await assert.rejects(client.connect(relayTransport(env)), (error) => {
    assert.equal(error.code, -32000);
    assert.match(error.message, /BRIDGE_NOT_RUNNING/);
    assert.equal(error.data.endpoint, `http://127.0.0.1:${env.PALISOR_BRIDGE_PORT}/mcp`);
    return true;
  });
});
