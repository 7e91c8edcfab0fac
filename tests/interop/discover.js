// Lists the devices a real ONVIF client finds, one JSON line each:
//   node discover.js onvif|node-onvif
'use strict';
const which = process.argv[2];

function done(devices) {
    for (const d of devices) console.log(JSON.stringify(d));
    process.exit(0);
}

if (which === 'onvif') {
    // resolve: false keeps the client from calling the device service.
    const { Discovery } = require('onvif');
    Discovery.on('error', () => {});
    Discovery.probe({ resolve: false, timeout: 1500 }, (err, found) => {
        done((found || []).map((m) => {
            const match = m.probeMatches.probeMatch;
            return { urn: match.endpointReference.address, xaddrs: match.XAddrs,
                     types: match.types, scopes: match.scopes };
        }));
    });
} else if (which === 'node-onvif') {
    const onvif = require('node-onvif');
    onvif.startProbe().then((list) => done(list.map((d) => ({
        urn: d.urn, xaddrs: d.xaddrs.join(' '), name: d.name, hardware: d.hardware, location: d.location }))))
        .catch((e) => { console.error(String(e)); process.exit(1); });
} else {
    console.error('usage: node discover.js onvif|node-onvif');
    process.exit(2);
}
