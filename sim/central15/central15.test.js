'use strict';
// The central system's checks catch what a faulty charge point sends: each
// broken request is refused with a Sender fault and logged with its problem;
// a sound one is answered.
const { test, before, after } = require('node:test');
const assert = require('node:assert');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'central15-'));
const logFile = path.join(dir, 'central.log');
let central;
let port;

const lines = () => fs.readFileSync(logFile, 'utf8').split('\n').filter((l) => l).map((l) => JSON.parse(l));

before(async () => {
    central = spawn('node', [path.join(__dirname, 'central15.js'), '--port', '0', '--log', logFile, '--identity', 'CB-1'],
        { stdio: 'ignore' });
    for (let i = 0; i < 1200 && port === undefined; ++i) {
        await new Promise((r) => setTimeout(r, 50));
        const l = fs.existsSync(logFile) ? lines().find((x) => x.event === 'listening') : undefined;
        if (l) port = l.port;
    }
    assert.ok(port, 'the central system did not start');
});
after(() => {
    central.kill();
    fs.rmSync(dir, { recursive: true, force: true });
});

let ids = 0;
function envelope({ soapNs = 'http://www.w3.org/2003/05/soap-envelope', identity = 'CB-1', messageId, to, action, from = 'http://10.0.0.2:8080/ChargeBox/OCPP15', body }) {
    const id = messageId || `urn:uuid:00000000-0000-4000-8000-${String(++ids).padStart(12, '0')}`;
    return `<?xml version="1.0" encoding="UTF-8"?><s:Envelope xmlns:s="${soapNs}" xmlns:cs="urn://Ocpp/Cs/2012/06/" xmlns:a="http://www.w3.org/2005/08/addressing">` +
        '<s:Header>' + (identity === null ? '' : `<cs:chargeBoxIdentity>${identity}</cs:chargeBoxIdentity>`) +
        `<a:MessageID>${id}</a:MessageID><a:To>${to || `http://127.0.0.1:${port}/ocpp15`}</a:To><a:Action>${action}</a:Action>` +
        `<a:From><a:Address>${from}</a:Address></a:From></s:Header><s:Body>${body}</s:Body></s:Envelope>`;
}
function post(action, xml, contentType = 'application/soap+xml; charset=utf-8') {
    return new Promise((resolve, reject) => {
        const req = http.request({ host: '127.0.0.1', port, path: '/ocpp15', method: 'POST',
            headers: { 'Content-Type': `${contentType}; action="${action}"`, SOAPAction: `"${action}"` } }, (res) => {
            let data = '';
            res.on('data', (d) => { data += d; });
            res.on('end', () => resolve({ status: res.statusCode, body: data }));
        });
        req.on('error', reject);
        req.end(xml);
    });
}

const status = (connector, st, code) => `<cs:statusNotificationRequest><cs:connectorId>${connector}</cs:connectorId>` +
    `<cs:status>${st}</cs:status><cs:errorCode>${code}</cs:errorCode></cs:statusNotificationRequest>`;

test('sound requests are answered, broken ones refused with their problem', async () => {
    const repeated = 'urn:uuid:11111111-2222-4333-8444-555555555555';
    const cases = [
        { name: 'sound', action: '/StatusNotification', xml: envelope({ action: '/StatusNotification', body: status(1, 'Available', 'NoError') }), ok: true },
        { name: 'first use of an id', action: '/Heartbeat', xml: envelope({ action: '/Heartbeat', messageId: repeated, body: '<cs:heartbeatRequest/>' }), ok: true },
        { name: 'id used again', action: '/Heartbeat', xml: envelope({ action: '/Heartbeat', messageId: repeated, body: '<cs:heartbeatRequest/>' }), problem: 'used before' },
        { name: 'bare number for a status', action: '/StatusNotification', xml: envelope({ action: '/StatusNotification', body: status(1, '9', 'NoError') }), problem: '"9" is not a ChargePointStatus' },
        { name: 'SOAP 1.1', action: '/Heartbeat', xml: envelope({ soapNs: 'http://schemas.xmlsoap.org/soap/envelope/', action: '/Heartbeat', body: '<cs:heartbeatRequest/>' }), contentType: 'text/xml', problem: 'not SOAP 1.2' },
        { name: 'no identity', action: '/Heartbeat', xml: envelope({ identity: null, action: '/Heartbeat', body: '<cs:heartbeatRequest/>' }), problem: 'chargeBoxIdentity missing' },
        { name: 'other identity', action: '/Heartbeat', xml: envelope({ identity: 'CB-2', action: '/Heartbeat', body: '<cs:heartbeatRequest/>' }), problem: 'chargeBoxIdentity "CB-2"' },
        { name: 'To elsewhere', action: '/Heartbeat', xml: envelope({ to: 'http://cs.example/ocpp15', action: '/Heartbeat', body: '<cs:heartbeatRequest/>' }), problem: 'is not the address reached' },
        { name: 'Action of another operation', action: '/Heartbeat', xml: envelope({ action: '/Authorize', body: '<cs:heartbeatRequest/>' }), problem: 'Action "/Authorize"' },
        { name: 'From not the endpoint', action: '/Heartbeat', xml: envelope({ from: 'http://10.0.0.2/ChargeBox', action: '/Heartbeat', body: '<cs:heartbeatRequest/>' }), problem: "is not the charge point's http endpoint" },
        { name: 'missing element', action: '/Authorize', xml: envelope({ action: '/Authorize', body: '<cs:authorizeRequest/>' }), problem: 'idTag missing' },
        { name: 'idTag too long', action: '/Authorize', xml: envelope({ action: '/Authorize', body: `<cs:authorizeRequest><cs:idTag>${'A'.repeat(21)}</cs:idTag></cs:authorizeRequest>` }), problem: 'longer than 20' },
        { name: 'elements out of order', action: '/StatusNotification', xml: envelope({ action: '/StatusNotification', body: '<cs:statusNotificationRequest><cs:status>Available</cs:status><cs:connectorId>1</cs:connectorId><cs:errorCode>NoError</cs:errorCode></cs:statusNotificationRequest>' }), problem: 'connectorId missing' },
        { name: 'not an int', action: '/StatusNotification', xml: envelope({ action: '/StatusNotification', body: status('one', 'Available', 'NoError') }), problem: '"one" is not an int' },
        { name: 'bad meter attribute', action: '/MeterValues', xml: envelope({ action: '/MeterValues', body: '<cs:meterValuesRequest><cs:connectorId>1</cs:connectorId><cs:values><cs:timestamp>2026-01-01T00:00:00Z</cs:timestamp><cs:value unit="kwh">1.00</cs:value></cs:values></cs:meterValuesRequest>' }), problem: '"kwh" is not a UnitOfMeasure' },
        { name: 'bad date', action: '/StartTransaction', xml: envelope({ action: '/StartTransaction', body: '<cs:startTransactionRequest><cs:connectorId>1</cs:connectorId><cs:idTag>A</cs:idTag><cs:timestamp>yesterday</cs:timestamp><cs:meterStart>0</cs:meterStart></cs:startTransactionRequest>' }), problem: '"yesterday" is not a dateTime' },
    ];
    for (const c of cases) {
        const before = lines().length;
        const res = await post(c.action, c.xml, c.contentType);
        const entries = lines().slice(before);
        if (c.ok) {
            assert.equal(res.status, 200, c.name);
            assert.ok(entries.some((e) => e.event === 'request'), c.name);
        } else {
            assert.equal(res.status, 500, c.name);
            assert.match(res.body, /Sender/, c.name);
            const invalid = entries.find((e) => e.event === 'invalid');
            assert.ok(invalid, c.name);
            assert.ok(invalid.problems.some((p) => p.includes(c.problem)), `${c.name}: ${JSON.stringify(invalid.problems)}`);
        }
    }
});
