import { readFileSync } from 'node:fs';
import { join } from 'node:path';

// Which repositories of the project this workspace holds, declared in the
// workspace's AGENTS.md next to the pointer lines the bridge reads, in the
// same list-line style:
//
//   - projectKey: PAL
//   - authorityOrigin: https://authority.example
//   - repository: palisor-web
//   - repoKey: `palisor-api`
//
// A declaration is a line that, once trimmed, starts with "-" and white space,
// then the key "repository" or "repoKey" (any letter case), a colon and the
// value. The value is trimmed of white space and of surrounding backticks and
// quotes, and must be one word of letters, digits, ".", "_", "-" and "/";
// anything else on such a line is not a key and is skipped. Keys are reported
// once each, in file order. A workspace without AGENTS.md or without
// declarations maps no repository.

const DECLARATION = /^-\s+(?:repository|repoKey)\s*:(.*)$/i;
const KEY = /^[\p{L}\p{N}][\p{L}\p{N}._/-]{0,199}$/u;

export function parseRepoKeys(text) {
  const keys = [];
  for (const rawLine of text.split(/\r\n|[\n\r\u2028\u2029\u0085\v\f]/)) {
    const match = DECLARATION.exec(rawLine.trim());
    if (!match) continue;
    const value = match[1].trim().replace(/^[`"']+|[`"']+$/g, '').trim();
    if (KEY.test(value) && !keys.includes(value)) keys.push(value);
  }
  return keys;
}

export function readRepoKeys(workspaceRoot) {
  let text;
  try {
    text = readFileSync(join(workspaceRoot, 'AGENTS.md'), 'utf8');
  } catch {
    return [];
  }
  return parseRepoKeys(text);
}
