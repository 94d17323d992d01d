import assert from 'node:assert/strict';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { test } from 'node:test';

import { ACCESS_TOKEN, WEB_TOKEN, executorDir } from './harness.mjs';

test('registered tokens are redacted wherever they stand in a text, every time', async () => {
  const { addSecret, redact } = await import(pathToFileURL(join(executorDir, 'output.mjs')).href);
  addSecret(WEB_TOKEN);
  addSecret(ACCESS_TOKEN);
  addSecret(undefined);
  assert.equal(redact(`Bearer ${WEB_TOKEN}; again ${WEB_TOKEN}${ACCESS_TOKEN}.`),
    'Bearer [redacted]; again [redacted][redacted].');
  // Values too short to be credentials would blank out ordinary words.
  addSecret('ab');
  assert.equal(redact('tab'), 'tab');
});
