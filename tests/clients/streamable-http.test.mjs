// The bridge's endpoint driven by the official MCP client library over
// Streamable HTTP, as agents that speak HTTP drive it.
import assert from 'node:assert/strict';
import { setTimeout as sleep } from 'node:timers/promises';
import { test } from 'node:test';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StreamableHTTPClientTransport } from '@modelcontextprotocol/sdk/client/streamableHttp.js';

import { exerciseTools, startBridge } from './harness.mjs';

test('initializes, calls the tools, and is refused the event stream once with 405', { timeout: 30000 }, async (t) => {
  const bridge = await startBridge(t);
  // Every request the transport makes, with its answer's status.
  const requests = [];
  const recorder = async (url, init = {}) => {
    const entry = { method: init.method ?? 'GET', body: init.body, status: 'failed' };
    requests.push(entry);
    const response = await fetch(url, init);
    entry.status = response.status;
    return response;
  };
  const transport = new StreamableHTTPClientTransport(bridge.url, { fetch: recorder });
  const client = new Client({ name: 'palisor-client-test', version: '1.0.0' });
  const errors = [];
  client.onerror = (error) => errors.push(error);
  t.after(() => client.close());
  await client.connect(transport);

  // The client offers a newer version; the bridge answers with its own,
  // which the client accepts and then sends on every request.
  assert.equal(transport.protocolVersion, '2025-06-18');

  // The endpoint answers every message, notifications included, with a JSON
  // body and never 202, so the client opens the stream only when asked to
  // resume it. A client that saw anything but 405 would retry with backoff.
  const initialized = requests.filter((r) => r.method === 'POST' && JSON.parse(r.body).method === 'notifications/initialized');
  assert.deepEqual(initialized.map((r) => r.status), [200]);
  await transport.resumeStream('0');
  await sleep(5000);
  const streams = requests.filter((r) => r.method === 'GET');
  assert.deepEqual(streams.map((r) => r.status), [405], JSON.stringify(requests));
  assert.deepEqual(errors, []);

  // The refusal leaves the client working.
  await exerciseTools(client);
});
