// `palisor-bridge stdio` driven by the official MCP client library's stdio
// transport, as agents that start their servers as programs drive it.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

import { bridgeExecutable, exerciseTools, startBridge } from './harness.mjs';

test('initializes and calls the tools through the stdio relay', { timeout: 30000 }, async (t) => {
  const bridge = await startBridge(t);
  const transport = new StdioClientTransport({ command: bridgeExecutable, args: ['stdio'], env: bridge.env, stderr: 'pipe' });
  transport.errorOutput = '';
  transport.stderr.setEncoding('utf8').on('data', (text) => { transport.errorOutput += text; });
  const client = new Client({ name: 'palisor-client-test', version: '1.0.0' });
  const errors = [];
  client.onerror = (error) => errors.push(error);
  t.after(() => client.close());
  await client.connect(transport);

  await exerciseTools(client);
  // Nothing the relay wrote was out of place: no answer to the
  // notification, no line the client could not read.
  assert.deepEqual(errors, [], transport.errorOutput);
});
