import http from 'node:http';
import https from 'node:https';

const REQUEST_TIMEOUT_MS = 30_000;
const BODY_LIMIT = 64 * 1024;

function authorityErrorCode(body) {
  const code = body?.error?.code ?? body?.code;
  // Only a well-formed code is repeated: free text from the server stays out
  // of what the bridge shows.
  return typeof code === 'string' && /^[A-Z][A-Z0-9_.:-]{0,80}$/.test(code) ? code : undefined;
}

function parseObject(text) {
  try {
    const value = JSON.parse(text);
    return value !== null && typeof value === 'object' && !Array.isArray(value) ? value : undefined;
  } catch {
    return undefined;
  }
}

// Asks the authority who the credentials belong to: "/api/auth/me" with the
// project agent token the executor works with proves that the authority still
// accepts it.
//
// Resolves to { ok: true } or to a failure { ok: false, code, message,
// statusCode?, authentication }; never rejects.
export function verifyCredentials(authorityUrl, accessToken) {
  const url = new URL('/api/auth/me', authorityUrl);
  const transport = url.protocol === 'https:' ? https : http;

  return new Promise((resolve) => {
    let settled = false;
    const finish = (result) => {
      if (!settled) {
        settled = true;
        resolve(result);
      }
    };

    const request = transport.request(url, {
      method: 'GET',
      headers: {
        Authorization: `Bearer ${accessToken}`,
        Accept: 'application/json',
        'User-Agent': 'palisor-validation-executor',
      },
      timeout: REQUEST_TIMEOUT_MS,
    }, (response) => {
      const chunks = [];
      let size = 0;
      response.on('data', (chunk) => {
        size += chunk.length;
        if (size <= BODY_LIMIT) chunks.push(chunk);
      });
      response.on('error', (error) => finish(unreachable(error)));
      response.on('end', () => {
        const status = response.statusCode ?? 0;
        const body = parseObject(Buffer.concat(chunks).toString('utf8'));
        if (status >= 200 && status < 300) {
          // A proxy or portal that answers 200 with a web page has not
          // vouched for anything.
          finish(body ? { ok: true } : {
            ok: false,
            code: 'AUTHORITY_INVALID_RESPONSE',
            message: `the authority answered HTTP ${status} without a JSON object`,
            statusCode: status,
            authentication: false,
          });
          return;
        }
        const authorityCode = authorityErrorCode(body);
        finish({
          ok: false,
          code: `AUTHORITY_HTTP_${status}`,
          message: `the authority answered HTTP ${status}${authorityCode ? ` (${authorityCode})` : ''}`,
          statusCode: status,
          authentication: status === 401,
        });
      });
    });

    request.on('timeout', () => {
      request.destroy();
      finish({
        ok: false,
        code: 'AUTHORITY_TIMEOUT',
        message: `the authority did not answer within ${REQUEST_TIMEOUT_MS / 1000} seconds`,
        authentication: false,
      });
    });
    request.on('error', (error) => finish(unreachable(error)));
    request.end();
  });
}

function unreachable(error) {
  return {
    ok: false,
    code: 'AUTHORITY_UNREACHABLE',
    message: error.code ? `${error.code}: ${error.message}` : String(error.message ?? error),
    authentication: false,
  };
}
